// library_api.cpp - the library's lifecycle and its step: zubAttach,
// zubRelease, zubDriver. Attach and release are the frame's; each channel's
// TLS state (net) and FTP session (engine) start and end with its record.
#include "engine/driver.h"
#include "net/family.h"
#include "net/tls.h"
#include "zub32.h"

using namespace zub;

namespace {

void StartChannel(int chan) {
    TlsResetChannel(chan);
    ResetFtpChannel(chan);
    ResetFamilyChannel(chan);
}

// The TLS connections go with their close notify while the sockets are
// still open.
void EndChannel(int chan) {
    TlsForgetChannel(chan);
    EndBulk(chan);
}

}  // namespace

extern "C" ZUB_EXPORT int32_t ZUB_CALL zubAttach(int32_t channels, int32_t /*reserved*/) {
    return AttachChannels(channels, StartChannel);
}

extern "C" ZUB_EXPORT int32_t ZUB_CALL zubRelease(void) { return ReleaseChannels(EndChannel); }

extern "C" ZUB_EXPORT int32_t ZUB_CALL zubDriver(int32_t channel) {
    ChannelCall call(channel);
    if (int32_t bad = call.Refused()) return bad;
    return DriverStep(call.Rec());
}

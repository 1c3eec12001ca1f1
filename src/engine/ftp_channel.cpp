// ftp_channel.cpp - what the engine keeps of each channel's FTP session
// beside its record (whose layout stays as it is): EPSV, MLSD, PROT P and
// the directory of the last PWD reply.
#include "engine/driver.h"

#include "net/family.h"
#include "net/tls.h"

namespace zub {

namespace {
FtpChannel gChannels[kMaxChannels];
}  // namespace

FtpChannel &FtpOf(const ChannelRecord *rec) {
    int c = rec->ChanIndex;
    return gChannels[c >= 0 && c < kMaxChannels ? c : 0];
}

void ResetFtpChannel(int chan) {
    FtpChannel &f = gChannels[chan];
    f.Epsv = 0;
    f.EpsvRefused = false;
    f.Mlsd = 0;
    f.MlsdRefused = false;
    f.MlsdSent = false;
    f.Protected = false;
    f.PwdDir[0] = 0;
}

void ClearSession(const ChannelRecord *rec) {
    TlsClearSession(rec);
    FtpOf(rec).Protected = false;
    ForgetAddresses(rec);
    // The next session may be another server's.
    FtpOf(rec).MlsdRefused = false;
}

const char *LastPwdDir(const ChannelRecord *rec) { return FtpOf(rec).PwdDir; }
void ForgetPwdDir(const ChannelRecord *rec) { FtpOf(rec).PwdDir[0] = 0; }

}  // namespace zub

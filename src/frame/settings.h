// settings.h - the settings and numbered queries the channel record and the
// library-wide tunables answer on their own.
#pragma once

#include <cstdint>

#include "frame/record.h"

namespace zub {

// A per-channel or library-wide setting: false for a number that is not
// one of these; *result is what zubSetInteger answers.
bool StoreSetting(ChannelRecord *rec, uint32_t number, uint32_t value, int32_t *result);
// An integer query about the record or the library: false for a number
// that is not one of these.
bool QueryInteger(const ChannelRecord *rec, int32_t number, int32_t *value);
// A string setting (the log): its answer, -1 for a number that is not one
// of these.
int32_t StoreString(ChannelRecord *rec, int32_t number, const char *text);
// A string query about the record: its answer; any other number writes "?"
// and answers 0.
int32_t QueryString(ChannelRecord *rec, int32_t number, char *buffer, int32_t size);

}  // namespace zub

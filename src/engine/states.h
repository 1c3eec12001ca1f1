// states.h - the one table of driver states: number, name, group and the
// function that runs it. The StateNumber enum, the State_ prototypes and
// the driver's dispatch rows are made from it, and the state line of the
// log ("<nnn:...>") shows its numbers, so names and numbers cannot drift
// apart.
#pragma once

#include <cstdint>

#include "frame/record.h"

// X(number, name, group); the group names the file of src/engine/ that
// holds the state (command: commands.cpp, frame: driver.cpp).
#define ZUB_STATE_TABLE(X)            \
    X(0, Idle, frame)                 \
    X(101, ConnectStart, session)     \
    X(102, ConnectWaitUp, session)    \
    X(103, Greeting, session)         \
    X(104, SendUser, session)         \
    X(105, UserReply, session)        \
    X(106, SendPass, session)         \
    X(107, PassReply, session)        \
    X(108, ConnectNext, session)      \
    X(109, ConnectAttempt, session)   \
    X(110, SendAuth, secure)          \
    X(111, AuthReply, secure)         \
    X(112, CtrlHandshake, secure)     \
    X(113, SendPbsz, secure)          \
    X(114, PbszReply, secure)         \
    X(115, SendProt, secure)          \
    X(116, ProtReply, secure)         \
    X(220, SendQuit, session)         \
    X(221, QuitReply, session)        \
    X(240, SendNoop, command)         \
    X(241, NoopReply, command)        \
    X(301, GetStart, transfer)        \
    X(302, SendRest, transfer)        \
    X(303, RestReply, transfer)       \
    X(304, SendRetr, transfer)        \
    X(305, RetrReply, transfer)       \
    X(307, ReceiveBlock, transfer)    \
    X(308, GetClose, transfer)        \
    X(350, TransferDone, transfer)    \
    X(401, PutStart, transfer)        \
    X(403, SendStor, transfer)        \
    X(404, StorReply, transfer)       \
    X(407, SendBlock, transfer)       \
    X(408, PutClose, transfer)        \
    X(501, SendCwd, command)          \
    X(502, CwdReply, command)         \
    X(521, SendPwd, command)          \
    X(522, PwdReply, command)         \
    X(541, SendDele, command)         \
    X(542, DeleReply, command)        \
    X(601, SendRmd, command)          \
    X(602, RmdReply, command)         \
    X(610, SendMkd, command)          \
    X(611, MkdReply, command)         \
    X(701, SendType, command)         \
    X(702, TypeReply, command)        \
    X(750, SendRaw, command)          \
    X(751, RawReply, command)         \
    X(801, ListStart, listing)        \
    X(804, SendList, listing)         \
    X(805, ListReply, listing)        \
    X(807, ReceiveList, listing)      \
    X(808, ListClose, listing)        \
    X(900, SendPasv, dataconn)        \
    X(901, PasvReply, dataconn)       \
    X(902, PasvWaitUp, dataconn)      \
    X(905, SendEpsv, dataconn)        \
    X(906, EpsvReply, dataconn)       \
    X(910, SendPort, dataconn)        \
    X(911, PortReply, dataconn)       \
    X(920, AcceptEnter, dataconn)     \
    X(921, AcceptWait, dataconn)      \
    X(930, DataHandshake, secure)

namespace zub {

enum StateNumber : int32_t {
#define ZUB_STATE_ENUM(num, name, group) S_##name = num,
    ZUB_STATE_TABLE(ZUB_STATE_ENUM)
#undef ZUB_STATE_ENUM
};

// A state function either finishes normally (kStepDone: the driver writes
// the trailer and returns NextState) or returns the driver's result directly
// (FailStep, or the few states that end a call on their own).
constexpr int32_t kStepDone = INT32_MIN;
typedef int32_t (*StateFn)(ChannelRecord *rec, uint32_t now);

#define ZUB_STATE_DECL(num, name, group) int32_t State_##name(ChannelRecord *rec, uint32_t now);
ZUB_STATE_TABLE(ZUB_STATE_DECL)
#undef ZUB_STATE_DECL

struct StateInfo {
    int32_t number;
    const char *name;
    StateFn run;
};
const StateInfo *FindState(int32_t number);  // null when not in the table
const char *StateName(int32_t number);       // "?" when not in the table

}  // namespace zub

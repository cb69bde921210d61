// Placeholders for the network functions of linkcore while the library is
// not yet built, so that test programs link. The tests install their own
// LinkNet, so these are never reached; reaching one is a test bug.
#include <cstdlib>

#include "linkcore.h"

extern "C" {
int KRL_NetSend(uint64_t, const void*, int) { std::abort(); }
int KRL_NetDisConnect(uint64_t) { std::abort(); }
int KRL_NetGetAddr(uint64_t, int, char*, int) { std::abort(); }
}

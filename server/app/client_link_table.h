// The table of client links and the framing of each connection's bytes.
//
// OnConnectionEvent and OnReceive are the callbacks given to KRL_NetListen.
// The table maps a connection id to its ClientLink; clientLinksLock guards
// the map only (never held while a frame is handled or the network library
// is called). A data event holds its own reference to the link, so a close
// event delivered meanwhile on another thread removes the link from the
// table at once but frees it only when the data event ends.
//
// Framing: frames that lie whole in a received chunk are dispatched straight
// from it; a partial frame is copied into the link's inBuffer, and from
// then on every byte goes through inBuffer until it is empty again. A frame
// whose lead byte is not 0x54, whose total length is below 6 or above
// kMaxFrameLength, or whose parameters announce negative lengths closes the
// connection.
#ifndef DIRSYNC_CORE_CLIENT_LINKS_H_
#define DIRSYNC_CORE_CLIENT_LINKS_H_

#include <cstddef>
#include <cstdint>
#include <memory>

#include "protocol/client_link.h"

namespace dirsync {

// Open (opened != 0): creates the id's link, replacing one already there.
// Close: removes the id's link, if any. Runs on a network library thread.
void OnConnectionEvent(uint64_t id, int opened);

// Hands a received chunk to the id's link; dropped when the id has none.
// Runs on a network library thread; never overlaps itself for one id.
void OnReceive(uint64_t id, const char* data, int length);

// The framing step for one received chunk. Runs on the link's data thread.
void FeedBytes(ClientLink& link, const uint8_t* data, size_t length);

// Dispatches the whole frames that inBuffer holds and keeps the rest.
// Runs on the link's data thread.
void DrainInBuffer(ClientLink& link);

// Closes the link's connection and marks the link closed, so that its
// frame loop stops. The close event may run inside this call. Thread safe.
void CloseClientLink(ClientLink& link);

// The link of id, or null. Thread safe.
std::shared_ptr<ClientLink> FindClientLink(uint64_t id);

// Number of links in the table. Thread safe.
size_t ClientLinkCount();

}  // namespace dirsync

#endif  // DIRSYNC_CORE_CLIENT_LINKS_H_

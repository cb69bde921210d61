#include "journal/event_parser.h"

#include <linux/fanotify.h>

#include <cstring>

namespace dirsync {
namespace {

// Info record layout: header {u8 type, u8 pad, u16 len}, fsid (8 bytes),
// then struct file_handle {u32 handle_bytes, i32 handle_type, bytes},
// then, for the *_NAME types, a NUL-terminated name.
constexpr size_t kInfoHeaderSize = sizeof(fanotify_event_info_header);
constexpr size_t kFsidOffset = kInfoHeaderSize;
constexpr size_t kHandleOffset = kFsidOffset + 8;
constexpr size_t kHandleHeaderSize = sizeof(struct file_handle);

}  // namespace

FanotifyEventParser::FanotifyEventParser(const FileHandleCodec& codec,
                                         const unsigned char fsid[8])
    : codec_(codec) {
  std::memcpy(fsid_, fsid, sizeof fsid_);
}

size_t FanotifyEventParser::Parse(const unsigned char* data, size_t size,
                                  std::vector<FanotifyEvent>* out) const {
  size_t offset = 0;
  while (size - offset >= sizeof(fanotify_event_metadata)) {
    fanotify_event_metadata meta;
    std::memcpy(&meta, data + offset, sizeof meta);
    if (meta.event_len < sizeof meta || meta.event_len > size - offset ||
        meta.metadata_len < sizeof meta || meta.metadata_len > meta.event_len) {
      break;
    }
    FanotifyEvent event;
    event.mask = meta.mask;
    event.pid = meta.pid;
    const unsigned char* info = data + offset + meta.metadata_len;
    size_t left = meta.event_len - meta.metadata_len;
    while (left >= kInfoHeaderSize) {
      fanotify_event_info_header header;
      std::memcpy(&header, info, sizeof header);
      if (header.len < kInfoHeaderSize || header.len > left) break;
      if (!ParseInfo(info, header.len, &event)) break;
      info += header.len;
      left -= header.len;
    }
    // A directory reported with the name "." and no object of its own is
    // the event's object: an event on the directory itself.
    if (event.hasDir && !event.hasObject && event.name == ".") {
      event.hasObject = true;
      event.object = event.dir;
      event.hasDir = false;
      event.name.clear();
    }
    out->push_back(std::move(event));
    offset += meta.event_len;
  }
  return size - offset;
}

bool FanotifyEventParser::ParseInfo(const unsigned char* info, size_t length,
                                    FanotifyEvent* event) const {
  uint8_t type = info[0];
  bool named = type == FAN_EVENT_INFO_TYPE_DFID_NAME ||
               type == FAN_EVENT_INFO_TYPE_OLD_DFID_NAME ||
               type == FAN_EVENT_INFO_TYPE_NEW_DFID_NAME;
  if (!named && type != FAN_EVENT_INFO_TYPE_FID &&
      type != FAN_EVENT_INFO_TYPE_DFID) {
    return true;  // a record this layer does not use
  }
  if (length < kHandleOffset + kHandleHeaderSize) return false;
  struct file_handle handle;
  std::memcpy(&handle, info + kHandleOffset, sizeof handle);
  size_t handleEnd = kHandleOffset + kHandleHeaderSize + handle.handle_bytes;
  if (handle.handle_bytes > FileHandleBuffer::kMaxBytes || handleEnd > length) {
    return false;
  }
  uint64_t ref = 0;
  if (std::memcmp(info + kFsidOffset, fsid_, sizeof fsid_) != 0 ||
      !codec_.Pack(handle.handle_type, info + kHandleOffset + kHandleHeaderSize,
                   handle.handle_bytes, &ref)) {
    event->foreign = true;
  }
  std::string name;
  if (named) {
    const char* start = reinterpret_cast<const char*>(info + handleEnd);
    size_t room = length - handleEnd;
    name.assign(start, strnlen(start, room));
  }
  switch (type) {
    case FAN_EVENT_INFO_TYPE_FID:
      event->hasObject = true;
      event->object = ref;
      break;
    case FAN_EVENT_INFO_TYPE_DFID:
    case FAN_EVENT_INFO_TYPE_DFID_NAME:
      event->hasDir = true;
      event->dir = ref;
      event->name = std::move(name);
      break;
    case FAN_EVENT_INFO_TYPE_OLD_DFID_NAME:
      event->hasOld = true;
      event->oldDir = ref;
      event->oldName = std::move(name);
      break;
    case FAN_EVENT_INFO_TYPE_NEW_DFID_NAME:
      event->hasNew = true;
      event->newDir = ref;
      event->newName = std::move(name);
      break;
  }
  return true;
}

}  // namespace dirsync

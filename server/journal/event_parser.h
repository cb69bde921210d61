// Parses the bytes of a fanotify read (FAN_REPORT_DFID_NAME_TARGET) into
// events with their file handles packed into references.
//
// Each event is a metadata header followed by info records: FID (the
// object), DFID_NAME (its directory and name; the name "." with no FID
// record means the directory itself), OLD_DFID_NAME and NEW_DFID_NAME (a
// rename). Malformed bytes never make the parser read outside the buffer:
// an event whose length does not fit ends the parse, an info record whose
// length does not fit ends its event. Thread
// safe (no state besides the constant codec and fsid).
#ifndef DIRSYNC_JOURNAL_EVENT_PARSER_H_
#define DIRSYNC_JOURNAL_EVENT_PARSER_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "journal/file_handle.h"

namespace dirsync {

struct FanotifyEvent {
  uint64_t mask = 0;
  int32_t pid = 0;
  bool hasObject = false;  // the entry's own handle
  uint64_t object = 0;
  bool hasDir = false;     // the directory the name lies in
  uint64_t dir = 0;
  std::string name;
  bool hasOld = false;     // a rename's old place
  uint64_t oldDir = 0;
  std::string oldName;
  bool hasNew = false;     // a rename's new place
  uint64_t newDir = 0;
  std::string newName;
  // A handle of another filesystem, or one that does not pack into a
  // reference: the event cannot be used.
  bool foreign = false;
};

class FanotifyEventParser {
 public:
  // fsid: the 8 bytes of statfs().f_fsid of the volume's filesystem.
  FanotifyEventParser(const FileHandleCodec& codec, const unsigned char fsid[8]);

  // Appends the events in data[0, size) to out. Returns the number of
  // bytes at the end that did not form a whole event (0 for good input).
  size_t Parse(const unsigned char* data, size_t size,
               std::vector<FanotifyEvent>* out) const;

 private:
  // Parses one info record; false when it is malformed.
  bool ParseInfo(const unsigned char* info, size_t length,
                 FanotifyEvent* event) const;

  FileHandleCodec codec_;
  unsigned char fsid_[8];
};

}  // namespace dirsync

#endif  // DIRSYNC_JOURNAL_EVENT_PARSER_H_

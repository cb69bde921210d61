#include "journal/file_handle.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/little_endian.h"

namespace dirsync {

FileHandleBuffer::FileHandleBuffer() {
  std::memset(storage, 0, sizeof storage);
  get()->handle_bytes = kMaxBytes;
}

Status FileHandleCodec::Learn(int fd) {
  FileHandleBuffer buffer;
  int mountId = -1;
  if (::name_to_handle_at(fd, "", buffer.get(), &mountId, AT_EMPTY_PATH) != 0) {
    int err = errno;
    if (err == EOPNOTSUPP) {
      std::string type = FilesystemTypeOfMount(mountId);
      return Status::InvalidArgument(
          "filesystem " + (type.empty() ? std::string("?") : type) +
          " gives no file handles");
    }
    return Status::FromErrno("name_to_handle_at", err);
  }
  const struct file_handle& h = *buffer.get();
  Layout layout = Layout::kUnknown;
  if (h.handle_bytes == 8) {
    layout = Layout::kInodeGeneration8;
  } else if (h.handle_bytes == 12 && LoadLE32(h.f_handle + 8) == 0) {
    layout = Layout::kGenerationInode12;
  }
  if (layout == Layout::kUnknown) {
    std::string type = FilesystemTypeOfMount(mountId);
    return Status::InvalidArgument(
        "filesystem " + (type.empty() ? std::string("?") : type) +
        " gives file handles of " + std::to_string(h.handle_bytes) +
        " bytes, which do not fit a 64-bit file reference");
  }
  layout_ = layout;
  type_ = h.handle_type;
  return Status::OK();
}

bool FileHandleCodec::Pack(int handleType, const unsigned char* bytes,
                           size_t size, uint64_t* ref) const {
  if (handleType != type_) return false;
  switch (layout_) {
    case Layout::kInodeGeneration8:
      if (size != 8) return false;
      *ref = LoadLE64(bytes);
      return true;
    case Layout::kGenerationInode12: {
      if (size != 12 || LoadLE32(bytes + 8) != 0) return false;
      uint64_t generation = LoadLE32(bytes);
      uint64_t inode = LoadLE32(bytes + 4);
      *ref = inode | generation << 32;
      return true;
    }
    case Layout::kUnknown:
      break;
  }
  return false;
}

void FileHandleCodec::Unpack(uint64_t ref, FileHandleBuffer* out) const {
  struct file_handle* h = out->get();
  h->handle_type = type_;
  switch (layout_) {
    case Layout::kInodeGeneration8:
      h->handle_bytes = 8;
      StoreLE64(h->f_handle, ref);
      break;
    case Layout::kGenerationInode12:
      h->handle_bytes = 12;
      StoreLE32(h->f_handle, static_cast<uint32_t>(ref >> 32));
      StoreLE32(h->f_handle + 4, static_cast<uint32_t>(ref));
      StoreLE32(h->f_handle + 8, 0);
      break;
    case Layout::kUnknown:
      h->handle_bytes = 0;
      break;
  }
}

FileHandleCodec FileHandleCodec::ForLayout(Layout layout, int handleType) {
  FileHandleCodec codec;
  codec.layout_ = layout;
  codec.type_ = handleType;
  return codec;
}

std::string FilesystemTypeOfMount(int mountId) {
  if (mountId < 0) return {};
  // Lines: "id parent major:minor root point options [optional...] - type source ..."
  std::ifstream in("/proc/self/mountinfo");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    int id = -1;
    if (!(fields >> id) || id != mountId) continue;
    size_t dash = line.find(" - ");
    if (dash == std::string::npos) return {};
    std::istringstream rest(line.substr(dash + 3));
    std::string type;
    rest >> type;
    return type;
  }
  return {};
}

}  // namespace dirsync

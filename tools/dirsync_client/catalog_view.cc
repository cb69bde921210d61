#include "catalog_view.h"

#include "store_reader.h"

namespace dsclient_tool {

using dsclient::RecordState;

namespace {

char Folded(char c) {
  if (c == '/') return '\\';
  if (c >= 'A' && c <= 'Z') return static_cast<char>(c - 'A' + 'a');
  return c;
}

bool SamePath(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Folded(a[i]) != Folded(b[i])) return false;
  }
  return true;
}

}  // namespace

void CatalogView::Fold(const dsclient::StoreRecord& record) {
  switch (record.kind()) {
    case RecordState::kAdded:
    case RecordState::kUpdated:
    case RecordState::kRenamed:
    case RecordState::kDirectory:
      live_[record.fileRef] = record;
      break;
    case RecordState::kDeleted:
    case RecordState::kDirLeft:
      live_.erase(record.fileRef);
      break;
    default:
      break;  // stale, filler, marker, header
  }
}

bool CatalogView::ReadAll(dsclient::Connection& connection, const std::string& task,
                          bool zip, std::string* error) {
  int64_t pos = 0;
  while (true) {
    StoreChunk chunk = ReadStoreChunk(connection, task, pos, zip);
    switch (chunk.status) {
      case StoreChunk::Status::kLost:
        *error = "lost the connection while reading the store: " + chunk.message;
        return false;
      case StoreChunk::Status::kError:
        *error = "the server could not list its store: " + chunk.message;
        return false;
      case StoreChunk::Status::kAtEnd:
        return true;
      case StoreChunk::Status::kSkipped:
      case StoreChunk::Status::kRecords:
        for (const dsclient::StoreRecord& record : chunk.records) Fold(record);
        pos = chunk.next;
        break;
    }
  }
}

const dsclient::StoreRecord* CatalogView::FindByPath(std::string_view path) const {
  const dsclient::StoreRecord* folded = nullptr;
  for (const auto& [ref, record] : live_) {
    if (record.name == path) return &record;
    if (folded == nullptr && SamePath(record.name, path)) folded = &record;
  }
  return folded;
}

}  // namespace dsclient_tool

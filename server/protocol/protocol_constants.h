// The words of the sync protocol.
//
// A frame is: lead byte 0x54 ('T'), the int32 total length of the frame
// (header included), one reserved byte, then parameters back to back. A
// parameter is: int8 name length n (NUL included), the name and its NUL,
// int32 value length m, then m value bytes. Integers are little-endian.
//
// Keys and commands are recognised by the first four bytes of the name or
// of the "cmd" value, read as one little-endian int32: one comparison in a
// switch, never a string comparison. So "token" is recognised by "toke",
// "dload" by "dloa", and the three-letter words need their NUL.
#ifndef DIRSYNC_PROTOCOL_PROTOCOL_CONSTANTS_H_
#define DIRSYNC_PROTOCOL_PROTOCOL_CONSTANTS_H_

#include <cstdint>

namespace dirsync {

constexpr uint8_t kFrameLead = 0x54;
constexpr int32_t kFrameHeaderSize = 6;
// No request of the protocol comes near this; a frame that announces more
// is treated as garbage and its connection closed, so that a peer cannot
// make the server buffer without bound.
constexpr int32_t kMaxFrameLength = 16 * 1024 * 1024;
// Before login only "reg" is of use, well under 4 KiB: a connection that
// has not logged in may announce no larger frame than this.
constexpr int32_t kMaxFrameBeforeLogin = 64 * 1024;

// A link handles no further frame while more than kOutputBound bytes of its
// output wait in the network, and goes on once no more than kOutputLowMark
// do; so a client that never reads holds at most about the bound plus one
// reply.
constexpr int64_t kOutputBound = 4 * 1024 * 1024;
constexpr int64_t kOutputLowMark = 1024 * 1024;

// A download range is at most this long.
constexpr int32_t kMaxDownloadSize = 4 * 1024 * 1024;

// The little-endian int32 of the first four bytes of a word.
constexpr uint32_t WordKey(const char (&w)[5]) {
  return uint32_t{static_cast<uint8_t>(w[0])} |
         uint32_t{static_cast<uint8_t>(w[1])} << 8 |
         uint32_t{static_cast<uint8_t>(w[2])} << 16 |
         uint32_t{static_cast<uint8_t>(w[3])} << 24;
}

// Parameter keys.
constexpr uint32_t PARAM_KEY = 0x00646d63;     // "cmd"
constexpr uint32_t PARAM_UID = 0x00646975;     // "uid"
constexpr uint32_t PARAM_TOKEN = 0x656b6f74;   // "token"
constexpr uint32_t PARAM_MAX = 0x0078616d;     // "max"
constexpr uint32_t PARAM_PATH = 0x68746170;    // "path"
constexpr uint32_t PARAM_FILEID = 0x00646966;  // "fid"
constexpr uint32_t PARAM_CUR = 0x00727563;     // "cur"
constexpr uint32_t PARAM_DATA = 0x61746164;    // "data"
constexpr uint32_t PARAM_LEN = 0x006e656c;     // "len"
constexpr uint32_t PARAM_DSIZE = 0x657a6973;   // "size"
constexpr uint32_t PARAM_POS = 0x00736f70;     // "pos"
constexpr uint32_t PARAM_ZIP = 0x0070697a;     // "zip"
constexpr uint32_t PARAM_VER = 0x00726576;     // "ver"
constexpr uint32_t PARAM_VAL = 0x006c6176;     // "val"
constexpr uint32_t PARAM_ERROR = 0x00727265;   // "err"
constexpr uint32_t PARAM_INFO = 0x6f666e69;    // "info"
constexpr uint32_t PARAM_TIME = 0x656d6974;    // "time"

static_assert(PARAM_KEY == WordKey("cmd\0") && PARAM_UID == WordKey("uid\0") &&
              PARAM_TOKEN == WordKey("toke") && PARAM_MAX == WordKey("max\0") &&
              PARAM_PATH == WordKey("path") && PARAM_FILEID == WordKey("fid\0") &&
              PARAM_CUR == WordKey("cur\0") && PARAM_DATA == WordKey("data") &&
              PARAM_LEN == WordKey("len\0") && PARAM_DSIZE == WordKey("size") &&
              PARAM_POS == WordKey("pos\0") && PARAM_ZIP == WordKey("zip\0") &&
              PARAM_VER == WordKey("ver\0") && PARAM_VAL == WordKey("val\0") &&
              PARAM_ERROR == WordKey("err\0") && PARAM_INFO == WordKey("info") &&
              PARAM_TIME == WordKey("time"));

// Each key's fixed place in MessageParams.
enum ParamSlot : int {
  kSlotKey = 0,
  kSlotUid,
  kSlotToken,
  kSlotMax,
  kSlotPath,
  kSlotFileId,
  kSlotCur,
  kSlotData,
  kSlotLen,
  kSlotSize,
  kSlotPos,
  kSlotZip,
  kSlotVer,
  kSlotVal,
  kSlotError,
  kSlotInfo,
  kSlotTime,
  kParamSlotCount,
};

// Command words (the value of "cmd").
constexpr uint32_t CMD_REQ_REG = 0x00676572;            // "reg"
constexpr uint32_t CMD_RTN_REG = 0x6765722d;            // "-reg"
constexpr uint32_t CMD_REQ_LIST = 0x7473696c;           // "list"
constexpr uint32_t CMD_RTN_LIST = 0x73696c2d;           // "-list"
constexpr uint32_t CMD_PING = 0x676e6970;               // "ping"
constexpr uint32_t CMD_PONG = 0x676e6f70;               // "pong"
constexpr uint32_t CMD_REQ_DOWNLOAD_FILE = 0x616f6c64;  // "dload"
constexpr uint32_t CMD_RTN_DOWNLOAD_FILE = 0x6f6c642d;  // "-dload"
constexpr uint32_t CMD_REQ_WAIT = 0x74696177;           // "wait"
constexpr uint32_t CMD_RTN_WAIT = 0x6961772d;           // "-wait"

static_assert(CMD_REQ_REG == WordKey("reg\0") && CMD_RTN_REG == WordKey("-reg") &&
              CMD_REQ_LIST == WordKey("list") && CMD_RTN_LIST == WordKey("-lis") &&
              CMD_PING == WordKey("ping") && CMD_PONG == WordKey("pong") &&
              CMD_REQ_DOWNLOAD_FILE == WordKey("dloa") &&
              CMD_RTN_DOWNLOAD_FILE == WordKey("-dlo") &&
              CMD_REQ_WAIT == WordKey("wait") && CMD_RTN_WAIT == WordKey("-wai"));

}  // namespace dirsync

#endif  // DIRSYNC_PROTOCOL_PROTOCOL_CONSTANTS_H_

#include "mirror_command.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "client_log.h"
#include "mirror_session.h"
#include "progress_line.h"

namespace dsclient_tool {

std::atomic<bool> stopRequested{false};

namespace {

using Step = MirrorSession::Step;

// How long a run without --follow waits for the newer records of files
// whose download the server refused because they had changed meanwhile.
constexpr auto kNewerVersionWait = std::chrono::seconds(15);
constexpr auto kNewerVersionPoll = std::chrono::milliseconds(200);
constexpr int kFirstBackoffMs = 200;
constexpr int kLastBackoffMs = 5000;
// How often a following mirror that found no room to write tries again.
constexpr int kNoRoomWaitMs = 5000;

// Sleeps up to ms, waking early when a stop is requested.
void Nap(int ms) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!stopRequested && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(ms, 50)));
  }
}

int RunOnce(MirrorSession& session) {
  LoginStatus status;
  std::string message;
  if (session.Connect(&status, &message) != Step::kOk) {
    if (!message.empty()) Log("%s", message.c_str());
    return 1;
  }
  auto deadline = std::chrono::steady_clock::now() + kNewerVersionWait;
  while (true) {
    Step step = session.CatchUp();
    if (step == Step::kStopped) {
      Log("stopped; the next run goes on from position %lld",
          static_cast<long long>(session.position()));
      return 130;
    }
    if (step == Step::kLost) {
      Log("giving up: the connection to the server was lost");
      return 1;
    }
    if (step == Step::kNoRoom) {
      Log("giving up: no room to write the mirror; the next run goes on from position %lld",
          static_cast<long long>(session.position()));
      return 1;
    }
    if (step == Step::kFatal) return 1;
    size_t waits = session.VersionWaits();
    if (waits == 0) return 0;
    if (std::chrono::steady_clock::now() >= deadline || stopRequested) {
      Log("%zu file(s) kept changing on the server while they were downloaded; "
          "the next run brings them", waits);
      return 0;
    }
    std::this_thread::sleep_for(kNewerVersionPoll);
  }
}

// One line per round that changed something, so that a watcher of the
// log knows the mirror is current.
void ReportRound(MirrorSession& session) {
  uint64_t records = 0;
  uint64_t files = 0;
  session.TakeCounts(&records, &files);
  if (records == 0 && files == 0) return;
  Log("up to date at position %lld (%llu record(s) applied, %llu file(s) downloaded)",
      static_cast<long long>(session.position()),
      static_cast<unsigned long long>(records), static_cast<unsigned long long>(files));
}

// Returns once the store may have grown past the mirror's position, with
// the store's length in *max: the one place that decides how a following
// mirror learns of changes. A server that answers "wait" tells of growth
// as soon as it happens (the wait ends after kLongestWaitMs anyway, so a
// dead connection is noticed); with others it sleeps the interval and
// asks with "ping". After a lack of room it waits the interval given.
Step WaitForGrowth(MirrorSession& session, int intervalMs, bool noRoom,
                   int64_t* max) {
  constexpr int kLongestWaitMs = 30000;
  if (session.serverWaits() && !noRoom) {
    return session.WaitForGrowth(kLongestWaitMs, max);
  }
  Nap(intervalMs);
  if (stopRequested) return Step::kStopped;
  return session.Ping(max);
}

int RunFollow(MirrorSession& session, int intervalMs) {
  // A full filesystem is waited out: one line when it fills, one when
  // there is room again, and tries every kNoRoomWaitMs in between.
  bool noRoom = false;
  auto noteRoom = [&noRoom](Step step) {
    if (step == Step::kNoRoom && !noRoom) {
      Log("no room to write the mirror; trying again every %d s", kNoRoomWaitMs / 1000);
    } else if (step == Step::kOk && noRoom) {
      Log("there is room again; the mirror goes on");
    }
    if (step == Step::kNoRoom || step == Step::kOk) noRoom = step == Step::kNoRoom;
  };
  int backoffMs = kFirstBackoffMs;
  int attempt = 0;
  while (!stopRequested) {
    if (!session.connected()) {
      LoginStatus status;
      std::string message;
      Step step = session.Connect(&status, &message);
      if (step == Step::kFatal) {
        if (!message.empty()) Log("%s", message.c_str());
        return 1;
      }
      if (step == Step::kLost) {
        ++attempt;
        Log("connection attempt %d failed (%s); retrying in %.1f s", attempt,
            message.c_str(), backoffMs / 1000.0);
        Nap(backoffMs);
        backoffMs = std::min(backoffMs * 2, kLastBackoffMs);
        continue;
      }
      if (attempt > 0) Log("connected again after %d failed attempt(s)", attempt);
      attempt = 0;
      backoffMs = kFirstBackoffMs;
      step = session.CatchUp();
      noteRoom(step);
      if (step == Step::kFatal) return 1;
      if (step != Step::kOk) continue;
      ReportRound(session);
    }
    int64_t max = 0;
    Step step = WaitForGrowth(session, noRoom ? kNoRoomWaitMs : intervalMs, noRoom, &max);
    if (stopRequested) break;
    // Files that found no room last time are tried again as well.
    if (step == Step::kOk && (max > session.position() || session.HasDownloadsToTry())) {
      step = session.CatchUp();
      if (step == Step::kOk) ReportRound(session);
    }
    noteRoom(step);
    if (step == Step::kFatal) return 1;
  }
  session.Save();
  return 0;
}

}  // namespace

int RunMirror(const Options& options, const std::string& token) {
  ProgressLine progress(::isatty(STDERR_FILENO) == 1);
  MirrorSession session(options, token, options.operands.at(0), progress,
                        &stopRequested);
  if (session.Prepare() != Step::kOk) return 1;
  int status = options.follow ? RunFollow(session, options.intervalMs)
                              : RunOnce(session);
  progress.Finish();
  return status;
}

}  // namespace dsclient_tool

#include "tracking/volume_watch.h"

namespace dirsync {

VolumeWatch* volumes[128] = {};
std::mutex volumesLock;
std::atomic<bool> running{true};

}  // namespace dirsync

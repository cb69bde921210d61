#include "core/log.h"

int main() {
  dirsync::LogPrint("%D Quillon Directory Sync Server V1.0.0\n");
  return 0;
}

#include "host/app/logger.h"

int main() {
  orvane::LogInfo("[Main] placeholder");
  return 0;
}

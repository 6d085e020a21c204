// Thread names. The same on every backend of an operating system: Linux
// keeps a 15-character name per thread; Windows builds leave threads
// unnamed (SetThreadDescription is missing from older systems and from
// Wine's headers).
#include "platform/Platform.h"

#if defined(__linux__)
#include <pthread.h>

#include <cstring>
#endif

namespace lumo::platform {

void NameCurrentThread(const char* name) {
#if defined(__linux__)
  char shortName[16] = {};
  std::strncpy(shortName, name, sizeof(shortName) - 1);
  pthread_setname_np(pthread_self(), shortName);
#else
  (void)name;
#endif
}

}  // namespace lumo::platform

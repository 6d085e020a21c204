// Per-thread CPU times of the benchmark's own process, for figures of the
// library's threads apart from the emulator's.
#pragma once

#include <map>
#include <string>

#if defined(__linux__)
#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#endif

namespace lumo::bench {

struct ThreadTime {
  std::string name;
  double seconds = 0;
};

// CPU seconds (user + system) of every thread of the process, by thread id.
// Read from /proc on Linux; empty elsewhere.
inline std::map<int, ThreadTime> ThreadTimes() {
  std::map<int, ThreadTime> times;
#if defined(__linux__)
  static const double ticks = double(sysconf(_SC_CLK_TCK));
  DIR* tasks = opendir("/proc/self/task");
  if (!tasks) return times;
  while (const dirent* task = readdir(tasks)) {
    const int id = std::atoi(task->d_name);
    if (id <= 0) continue;
    const std::string dir = std::string("/proc/self/task/") + task->d_name;
    std::ifstream comm(dir + "/comm");
    std::ifstream stat(dir + "/stat");
    ThreadTime entry;
    std::getline(comm, entry.name);
    std::string text;
    std::getline(stat, text);
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos) continue;
    // After the parenthesised name: the state is field 3, utime 14, stime 15.
    std::istringstream rest(text.substr(close + 2));
    std::string field;
    double used = 0;
    for (int f = 3; f <= 15 && rest >> field; ++f)
      if (f == 14 || f == 15) used += std::atof(field.c_str());
    entry.seconds = used / ticks;
    times[id] = entry;
  }
  closedir(tasks);
#endif
  return times;
}

// CPU seconds each thread used between two snapshots.
inline double Used(const std::map<int, ThreadTime>& before, int id, const ThreadTime& after) {
  auto old = before.find(id);
  return after.seconds - (old != before.end() ? old->second.seconds : 0.0);
}

}  // namespace lumo::bench

// Case tables kept as data files beside their tests: one case per line, a
// header of '#' lines saying the format; blank lines and '#' lines are
// skipped. TEST_DATA_DIR is the folder of the test's sources.
#pragma once
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "util/words.h"

// Calls fn(line) for every case line of `name` (a path of its own when it
// starts with '/'); returns the number of cases.
template <typename Fn>
int ForEachCase(const std::string& name, Fn fn) {
  const std::string path = name[0] == '/' ? name : std::string(TEST_DATA_DIR) + "/" + name;
  std::ifstream in(path);
  EXPECT_TRUE(in.good()) << path;
  int cases = 0, n = 0;
  for (std::string line; std::getline(in, line);) {
    n++;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    SCOPED_TRACE(path + ":" + std::to_string(n) + ": " + line);
    fn(line);
    cases++;
  }
  EXPECT_GT(cases, 0) << path;
  return cases;
}

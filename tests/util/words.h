// Words of a line in the test data files: separated by blanks; "..." holds
// blanks and the escapes \" \\ \r \n \t and \xNN.
#pragma once
#include <cstdlib>
#include <string>
#include <vector>

inline std::vector<std::string> Words(const std::string& line) {
  std::vector<std::string> out;
  for (size_t i = 0; i < line.size();) {
    if (line[i] == ' ') {
      i++;
      continue;
    }
    std::string w;
    if (line[i] != '"') {
      while (i < line.size() && line[i] != ' ') w += line[i++];
    } else {
      for (i++; i < line.size() && line[i] != '"'; i++) {
        if (line[i] != '\\' || i + 1 >= line.size()) {
          w += line[i];
          continue;
        }
        char c = line[++i];
        if (c == 'x') {
          w += (char)strtol(line.substr(i + 1, 2).c_str(), nullptr, 16);
          i += 2;
        } else {
          w += c == 'r' ? '\r' : c == 'n' ? '\n' : c == 't' ? '\t' : c;
        }
      }
      i++;
    }
    out.push_back(w);
  }
  return out;
}

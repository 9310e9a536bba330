// Relay protocol lines (see wire.h).
#include "zelmo/wire.h"

namespace zelmo {

const char* const kServiceNames[kServiceCount] = {
    "HttpPort",    "RTSPPort",          "MediaPort",        "SdkMapPort",
    "HttpMapPort", "AccessIpcHTTPPort", "AccessIpcRTSPPort"};

bool IsServiceName(const std::string& name) {
  for (const char* known : kServiceNames) {
    if (name == known)
      return true;
  }
  return false;
}

bool IsWord(const std::string& text) {
  if (text.empty() || text.size() > 200)
    return false;
  for (unsigned char c : text) {
    if (c <= ' ' || c >= 0x7f)
      return false;
  }
  return true;
}

std::vector<std::string> SplitWords(const std::string& line) {
  std::vector<std::string> words;
  std::size_t start = 0;
  while (start <= line.size()) {
    std::size_t end = line.find(' ', start);
    if (end == std::string::npos)
      end = line.size();
    std::string word = line.substr(start, end - start);
    if (!IsWord(word))
      return {};
    words.push_back(word);
    start = end + 1;
  }
  return words;
}

std::string MakeLine(const std::vector<std::string>& words) {
  std::string line;
  for (const std::string& word : words) {
    if (!line.empty())
      line += ' ';
    line += word;
  }
  return line + "\n";
}

std::string MakeSpareHeader(const std::string& service) {
  std::string header = std::string(kCommandServe) + " " + service;
  header.resize(kSpareHeaderLength - 1, ' ');
  return header + "\n";
}

bool ParseSpareHeader(const std::string& header, std::string& service) {
  if (header.size() != kSpareHeaderLength || header.back() != '\n')
    return false;
  std::size_t end = header.find_last_not_of(' ', header.size() - 2);
  if (end == std::string::npos)
    return false;
  std::vector<std::string> words = SplitWords(header.substr(0, end + 1));
  if (words.size() != 2 || words[0] != kCommandServe || !IsServiceName(words[1]))
    return false;
  service = words[1];
  return true;
}

bool TakeLine(std::string& buffer, std::string& line) {
  std::size_t end = buffer.find('\n');
  if (end == std::string::npos)
    return false;
  line = buffer.substr(0, end);
  buffer.erase(0, end + 1);
  return true;
}

}  // namespace zelmo

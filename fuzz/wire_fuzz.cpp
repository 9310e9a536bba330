// The relay protocol's line handling, shared by the relay, the device agents and
// the library, against a plain model: every line taken from a buffer is the text
// up to a line feed and nothing is lost or added; a line splits into words only
// when every blank-separated piece is a protocol word (1 to 200 printable bytes
// without blanks), and the words joined again give back the line. The fixed-size
// header on a spare parses only as the header made for a known service.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "zelmo/wire.h"

namespace {

bool ModelWord(const std::string& piece) {
  if (piece.empty() || piece.size() > 200)
    return false;
  for (unsigned char c : piece) {
    if (c < 0x21 || c > 0x7e)
      return false;
  }
  return true;
}

bool ModelSplits(const std::string& line) {
  size_t start = 0;
  for (;;) {
    size_t end = line.find(' ', start);
    if (!ModelWord(line.substr(start, end == std::string::npos ? end : end - start)))
      return false;
    if (end == std::string::npos)
      return true;
    start = end + 1;
  }
}

void CheckLine(const std::string& line) {
  FUZZ_CHECK(line.find('\n') == std::string::npos);
  std::vector<std::string> words = zelmo::SplitWords(line);
  FUZZ_CHECK(words.empty() != ModelSplits(line));
  if (words.empty())
    return;
  for (const std::string& word : words)
    FUZZ_CHECK(zelmo::IsWord(word));
  FUZZ_CHECK(zelmo::MakeLine(words) == line + "\n");
  bool known = false;
  for (const char* name : zelmo::kServiceNames)
    known = known || words[0] == name;
  FUZZ_CHECK(zelmo::IsServiceName(words[0]) == known);
}

// The header on a spare is read as exactly kSpareHeaderLength bytes: it names a
// service only when it is, byte for byte, the header made for that service.
void CheckSpareHeader(const std::string& input) {
  std::string service;
  bool parsed = zelmo::ParseSpareHeader(input, service);
  bool made = false;
  for (const char* name : zelmo::kServiceNames)
    made = made || zelmo::MakeSpareHeader(name) == input;
  FUZZ_CHECK(parsed == made);
  if (parsed)
    FUZZ_CHECK(zelmo::MakeSpareHeader(service) == input);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  CheckSpareHeader(input);
  std::string buffer = input;
  std::string rebuilt;
  std::string line;
  while (zelmo::TakeLine(buffer, line)) {
    CheckLine(line);
    rebuilt += line + "\n";
  }
  FUZZ_CHECK(buffer.find('\n') == std::string::npos);
  FUZZ_CHECK(rebuilt + buffer == input);
  return 0;
}

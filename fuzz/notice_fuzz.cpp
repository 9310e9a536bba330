// The notifier's handling of what arrives on the notice channel: each input is
// cut at 0xFF bytes into up to four receives, handled one after another with the
// same remembered fields, as the receive loop does. Checks that fields stay
// terminated inside their 64 bytes, that a started window thread gets a block
// built from the remembered fields, and that no block is lost (LeakSanitizer).
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz/fuzz_check.h"
#include "popup/console.h"
#include "popup/notice_receive.h"

namespace {

constexpr int kMaxReceives = 4;

const NoticeFields* current_fields = nullptr;
bool refuse_start = false;

void Terminated(const char* field) {
  FUZZ_CHECK(std::memchr(field, '\0', kNoticeFieldSize) != nullptr);
}

// Stands in for the window thread: checks the block and frees it, as the thread
// would, or refuses to start so that the caller must free it.
int StartPopup(NoticeBlock* block) {
  Terminated(block->Devicename);
  Terminated(block->CountValue);
  Terminated(block->UrlIndex);
  FUZZ_CHECK(std::strcmp(block->Devicename, current_fields->Devicename) == 0);
  FUZZ_CHECK(std::strcmp(block->UrlIndex, current_fields->UrlIndex) == 0);
  if (refuse_start)
    return -1;
  delete block;
  return 0;
}

void Quiet(const char*) {}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  SetConsoleSink(Quiet);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  NoticeFields fields;
  std::memset(&fields, 0, sizeof fields);
  current_fields = &fields;
  const char* text = reinterpret_cast<const char*>(data);
  size_t start = 0;
  for (int i = 0; i < kMaxReceives && start < size; ++i) {
    const void* cut = std::memchr(text + start, 0xFF, size - start);
    size_t end = cut != nullptr ? static_cast<const char*>(cut) - text : size;
    int length = static_cast<int>(end - start);
    if (length > kReceiveCapacity)
      length = kReceiveCapacity;
    refuse_start = (i % 2) == 1;
    if (length > 0) {
      int result = HandleReceive(text + start, length, &fields, StartPopup);
      FUZZ_CHECK(result == 0 || result == -1);
      FUZZ_CHECK(!(refuse_start && result == 0));
    }
    Terminated(fields.Info);
    Terminated(fields.Devicename);
    Terminated(fields.CountValue);
    Terminated(fields.UrlIndex);
    start = end + 1;
  }
  return 0;
}

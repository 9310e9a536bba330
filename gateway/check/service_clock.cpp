// The service clock client over libcurl's easy interface. Every query has its
// own handle and body and keeps nothing afterwards; the library's one global
// initialisation runs exactly once, even when the first queries of several
// workers start together.
#include "gateway/check/service_clock.h"

#include <curl/curl.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "gateway/log/write_log.h"
#include "platform/text.h"

namespace {

const char kWhiteSpace[] = " \t\n\v\f\r";
std::once_flag CurlInitOnce;

void InitCurlOnce() {
  std::call_once(CurlInitOnce, [] {
    CURLcode result = curl_global_init(CURL_GLOBAL_ALL);
    if (result != CURLE_OK) {
      std::fprintf(stderr, "curl_global_init() failed: %s\n", curl_easy_strerror(result));
    }
  });
}

void SetClockOptions(CURL* curl, const char* url, HttpBody* body) {
  curl_easy_setopt(curl, CURLOPT_URL, url);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 5L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 10L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, WriteBodyCallback);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, body);
  curl_easy_setopt(curl, CURLOPT_USERAGENT, "libcurl-agent/1.0");
}

// Copies the word after the first "t=" of body (white space before it skipped)
// into out. -1 when there is no "t=" or the word does not fit.
int CopyClockWord(const char* body, char* out) {
  const char* found = std::strstr(body, "t=");
  if (found == nullptr)
    return -1;
  const char* word = found + 2;
  word += std::strspn(word, kWhiteSpace);
  size_t length = std::strcspn(word, kWhiteSpace);
  if (length > kServiceTimeCapacity - 1)
    return -1;
  std::memcpy(out, word, length);
  out[length] = '\0';
  return 0;
}

}  // namespace

int MakeClockUrl(const RequestParams& params, char* url) {
  std::memset(url, 0, kClockUrlCapacity);
  if (params.HttpIP[0] != '\0') {
    std::snprintf(url, kClockUrlCapacity, "http://%.*s/getime",
                  static_cast<int>(sizeof params.HttpIP - 1), params.HttpIP);
    return 0;
  }
  // Held to int's range: a wrapped value such as "4294967297" must not pick zone 1.
  int zone =
      static_cast<int>(platform::ParseClampedDecimal(params.ServiceCenter, INT_MIN, INT_MAX));
  const char* base = ServiceUrl(zone);
  if (base == nullptr)
    return -1;
  std::snprintf(url, kClockUrlCapacity, "%s/getime", base);
  return 0;
}

size_t WriteBodyCallback(void* data, size_t size, size_t count, void* body) {
  if (data == nullptr)
    return 0;
  HttpBody* target = static_cast<HttpBody*>(body);
  size_t n = size * count;
  if (n > SIZE_MAX - 1 - target->size)
    return 0;
  char* grown = static_cast<char*>(std::realloc(target->memory, target->size + n + 1));
  if (grown == nullptr) {
    std::printf("not enough memory (realloc returned NULL)\n");
    return 0;
  }
  target->memory = grown;
  std::memcpy(target->memory + target->size, data, n);
  target->size += n;
  target->memory[target->size] = '\0';
  return n;
}

int HttpGetBody(const char* url, HttpBody* body) {
  InitCurlOnce();
  CURL* curl = curl_easy_init();
  if (curl == nullptr) {
    std::fprintf(stderr, "curl_easy_perform() failed: %s\n", curl_easy_strerror(CURLE_FAILED_INIT));
    return 1;
  }
  SetClockOptions(curl, url, body);
  CURLcode result = curl_easy_perform(curl);
  if (result != CURLE_OK) {
    std::fprintf(stderr, "curl_easy_perform() failed: %s\n", curl_easy_strerror(result));
    curl_easy_cleanup(curl);
    return 1;
  }
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_cleanup(curl);
  return static_cast<int>(status);
}

int GetServiceTime(const char* url, char* out) {
  HttpBody body = {static_cast<char*>(std::calloc(1, 1)), 0};
  if (body.memory == nullptr)
    return -1;
  int result = -1;
  if (HttpGetBody(url, &body) == 200) {
    std::memset(out, 0, kServiceTimeCapacity);
    if (CopyClockWord(body.memory, out) == 0)
      result = 200;
  }
  std::free(body.memory);
  return result;
}

int QueryServiceTime(const RequestParams& params, char* url, char* service_time) {
  std::memset(service_time, 0, kServiceTimeCapacity);
  if (MakeClockUrl(params, url) == 0) {
    for (int attempt = 0; attempt < 2; ++attempt) {
      if (GetServiceTime(url, service_time) == 200)
        return 0;
    }
  }
  WriteLog(6, "get t error!!!!!!!!!!!!!!!!!!!!!");
  return -1;
}

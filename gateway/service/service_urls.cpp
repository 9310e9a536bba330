// The service zone table (see service_urls.h).
#include "gateway/service/service_urls.h"

const char ServiceUrls[kServiceUrlCount][kServiceUrlCapacity] = {
    "http://zone1.harborclock.net", "http://zone2.harborclock.net", "http://zone3.harborclock.net",
    "http://zone4.harborclock.net", "http://zone5.harborclock.net",
};

const char* ServiceUrl(int service_center) {
  if (service_center < 1 || service_center > kServiceUrlCount)
    return nullptr;
  return ServiceUrls[service_center - 1];
}

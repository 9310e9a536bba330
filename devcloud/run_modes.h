// devcloud's two ways to run, each until SIGINT or SIGTERM: the whole cloud, or
// one device agent against a running cloud. Both return the exit status.
#pragma once
#include "devcloud/options.h"

namespace devcloud {

int RunCloud(const Options& options);
int RunAgent(const Options& options);

}  // namespace devcloud

// The simulated devices' live picture: a moving ball on the recorder's dark
// blue, the title (the device's name) at the top and the local date and time at
// the bottom, 320x240. Small on purpose: every stream is encoded on the cloud's
// own CPU, beside the tests.
#pragma once
#include <string>

typedef struct _GstElement GstElement;

namespace devcloud {

constexpr int kPictureWidth = 320;
constexpr int kPictureHeight = 240;

// The picture as a GStreamer launch fragment of raw video at fps frames per
// second, live; its title is blank until SetPictureTitle.
std::string TestPictureLaunch(int fps);

// Sets the title of the picture inside bin (a pipeline built from
// TestPictureLaunch). The title is set as a property, never put into a launch
// text, so no name can change the pipeline.
void SetPictureTitle(GstElement* bin, const std::string& title);

}  // namespace devcloud

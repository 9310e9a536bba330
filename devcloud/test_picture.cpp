// Test picture (see test_picture.h).
#include "devcloud/test_picture.h"

#include <gst/gst.h>

namespace devcloud {

std::string TestPictureLaunch(int fps) {
  return "videotestsrc is-live=true pattern=ball background-color=0xff23313d "
         "foreground-color=0xfff0b040 ! video/x-raw,width=" +
         std::to_string(kPictureWidth) + ",height=" + std::to_string(kPictureHeight) +
         ",framerate=" + std::to_string(fps) +
         "/1 ! textoverlay name=title valignment=top halignment=left "
         "font-desc=\"Sans Bold 16\" ! clockoverlay time-format=\"%Y-%m-%d %H:%M:%S\" "
         "valignment=bottom halignment=center font-desc=\"Sans 14\" ! videoconvert";
}

void SetPictureTitle(GstElement* bin, const std::string& title) {
  if (!GST_IS_BIN(bin))
    return;
  GstElement* overlay = gst_bin_get_by_name(GST_BIN(bin), "title");
  if (overlay == nullptr)
    return;
  // The overlay reads its text as Pango markup: "&" or "<" in a name must
  // stay text.
  gchar* text = g_markup_escape_text(title.c_str(), -1);
  g_object_set(overlay, "text", text, nullptr);
  g_free(text);
  gst_object_unref(overlay);
}

}  // namespace devcloud

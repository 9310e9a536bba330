// Small text helpers for the pages the cloud and the devices serve.
#pragma once
#include <string>

namespace devcloud {

// Escapes &, <, >, " and ' for HTML text and attribute values.
std::string EscapeHtml(const std::string& text);

// Percent-encodes everything but letters, digits, "-._~" and ":", so a value
// stays one query value; ":" stays readable in addresses.
std::string PercentEncode(const std::string& text);

}  // namespace devcloud

// A loopback TCP server that answers every connection with the same bytes, for
// fuzzing the code that parses what a server sends back (the clock answer, the
// cloud's JSON). Per connection it reads the HTTP request (head and body, at most
// 64 KiB), sends the current answer and closes, so the client sees the whole
// answer and then the end, never a reset.
#pragma once
#include <cstdint>
#include <string>

namespace fuzz {

// Starts the server thread on a free port of 127.0.0.1; the port, or 0.
uint16_t StartAnswerServer();

// The bytes the next connections get.
void SetAnswer(const std::string& answer);

}  // namespace fuzz

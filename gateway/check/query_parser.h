// Query parsing: the first line of a received request cut into the nine query
// fields of RequestParams. Only the first line is looked at, and only the key
// texts are searched for, so parameter order, method, path and headers do not
// matter. Values are copied as they stand (no decoding, no trimming) and end at
// "&" or at the end of the line; a value longer than its field is cut to the
// field's capacity less one, so a field always stays NUL-terminated (a check
// code that does not fit is left empty instead: it can never be right).
#pragma once

// Fixed-capacity query fields of one request; capacities count the NUL.
struct RequestParams {
  char t[11];             // "t=": time stamp, decimal
  char k[33];             // "k=": check code, 32 lower-case hex digits
  char UserName[100];     // "u="
  char PassWd[100];       // "c="
  char DeviceSn[100];     // "ds="
  char DeviceName[100];   // "dn="
  char StunIp[100];       // "si="
  char ServiceCenter[5];  // "sc=": service centre number 1 to 5
  char HttpIP[64];        // "hi=" (optional): service address as it follows "http://"
};

// Parses the request in text (NUL-terminated, writable: the first line feed
// after the line is overwritten with a NUL) into params, whose fields the
// caller has cleared. Leading line feeds are skipped.
// Returns 0 when all eight mandatory keys are present (HttpIP may stay empty),
// -1 when there is no line or a mandatory key is missing, and -2 for the
// browser's icon request (no field written). Every outcome but a plain 0 with
// "hi=" present logs one line at level 3. Re-entrant: keeps no state.
int ParseRequest(char* text, RequestParams* params);

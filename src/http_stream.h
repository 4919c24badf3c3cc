// JSON output of detections and the process-wide sender that streams it to HTTP/1.0 clients.
// The exported entry points (detection_to_json, send_json_custom, delete_json_sender) are declared
// in quillon.h; this header only adds what the rest of the library shares with them.
#pragma once
#include "quillon.h"

// Most sockets the sender watches at once, the listening socket included.
constexpr int json_sender_max_sockets = 64;

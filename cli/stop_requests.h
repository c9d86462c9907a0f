// Requests to end the program (Ctrl-C, a termination request from outside),
// seen on a thread of their own, so that they are acted on whatever the other
// threads are blocked in.
#pragma once

// Called on the watching thread once per request with its name ("SIGINT"),
// and with none once the time the previous call returned (in ms, -1 for no
// limit) has passed without a request. Returns the time to wait next.
typedef int (*kelcli_stop_handler_t)(const char *request, void *ctx);

// Starts watching; until kelcli_stop_requests_end() the requests no longer
// end the process by themselves. False when watching cannot be set up (the
// requests then keep their usual effect).
bool kelcli_stop_requests_begin(kelcli_stop_handler_t handler, void *ctx);
// Gives the requests their previous effect back and ends the watching thread.
void kelcli_stop_requests_end();

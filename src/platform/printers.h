// Printers through the CUPS client library: the list of queues, the default
// queue, and submitting a PDF document. Every call is bounded: a server
// that does not answer within a few seconds counts as no server.
#pragma once

#include <string>
#include <vector>

namespace platform {

struct PrinterList {
  bool server = false;                // a print server answered
  std::vector<std::string> names;     // queue names, as the server lists them
  std::string default_name;           // "" when there is no default queue
  std::string error;                  // why the list is empty, when it is
};

PrinterList list_printers();

// Sends `pdf` to `printer` as one job titled `title`; false with `error`
// set when the server is missing or refuses the job.
bool print_pdf(const std::string& printer, const std::string& title, const std::string& pdf, int copies,
               std::string& error);

}  // namespace platform

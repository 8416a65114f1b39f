#include "platform/printers.h"

#include <cups/cups.h>

#include "platform/lazy_library.h"

namespace platform {

namespace {

#define CUPS_FUNCTIONS(X)                                                                                     \
  X(httpConnect2) X(httpSetTimeout) X(httpClose) X(cupsServer) X(ippPort) X(cupsEncryption) X(cupsGetDests2) \
  X(cupsFreeDests) X(cupsLastError) X(cupsLastErrorString) X(cupsAddOption) X(cupsFreeOptions)               \
  X(cupsCreateJob) X(cupsStartDocument) X(cupsWriteRequestData) X(cupsFinishDocument)
CUPS_FUNCTIONS(QUILLON_LAZY_POINTER)

// libcups, opened at the first use of a printer; false, with the reason in
// `why`, when it cannot be loaded.
bool cups_ready(std::string& why) {
  static LazyLibrary cups;
  return lazy_library_load(cups, {"libcups.so.2", "libcups.so.3"}, [](void* lib) -> const char* {
    return CUPS_FUNCTIONS(QUILLON_LAZY_BIND) true ? nullptr : "this libcups lacks a function the player calls";
  }, why);
}

constexpr int kConnectMilliseconds = 3000;
constexpr double kReplySeconds = 10.0;

// A connection to the print server that the client configuration names
// (CUPS_SERVER, client.conf, else the local socket), or null.
http_t* connect_server(std::string& error) {
  if (std::string why; !cups_ready(why)) {
    error = "printing needs libcups: " + why;
    return nullptr;
  }
  http_t* http =
      httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1, kConnectMilliseconds, nullptr);
  if (!http) {
    error = "no print server is running";
    return nullptr;
  }
  // Give up, rather than wait again, when the server stays silent.
  httpSetTimeout(http, kReplySeconds, [](http_t*, void*) { return 0; }, nullptr);
  return http;
}

}  // namespace

PrinterList list_printers() {
  PrinterList list;
  http_t* http = connect_server(list.error);
  if (!http) return list;
  cups_dest_t* dests = nullptr;
  int count = cupsGetDests2(http, &dests);
  if (count == 0 && cupsLastError() > IPP_STATUS_OK_EVENTS_COMPLETE) {
    list.error = cupsLastErrorString();
  } else {
    list.server = true;
    for (int i = 0; i < count; i++) {
      if (dests[i].instance) continue;
      list.names.push_back(dests[i].name);
      if (dests[i].is_default) list.default_name = dests[i].name;
    }
    if (list.names.empty()) list.error = "no printer is installed";
  }
  cupsFreeDests(count, dests);
  httpClose(http);
  return list;
}

bool print_pdf(const std::string& printer, const std::string& title, const std::string& pdf, int copies,
               std::string& error) {
  http_t* http = connect_server(error);
  if (!http) return false;
  cups_option_t* options = nullptr;
  int num_options = 0;
  if (copies > 1) num_options = cupsAddOption("copies", std::to_string(copies).c_str(), num_options, &options);
  bool ok = false;
  int job = cupsCreateJob(http, printer.c_str(), title.c_str(), num_options, options);
  if (job <= 0) {
    error = cupsLastErrorString();
  } else if (cupsStartDocument(http, printer.c_str(), job, title.c_str(), CUPS_FORMAT_PDF, 1) !=
             HTTP_STATUS_CONTINUE) {
    error = cupsLastErrorString();
  } else {
    bool sent = cupsWriteRequestData(http, pdf.data(), pdf.size()) == HTTP_STATUS_CONTINUE;
    ipp_status_t finished = cupsFinishDocument(http, printer.c_str());
    if (!sent || finished > IPP_STATUS_OK_EVENTS_COMPLETE) error = cupsLastErrorString();
    else ok = true;
  }
  cupsFreeOptions(num_options, options);
  httpClose(http);
  return ok;
}

}  // namespace platform

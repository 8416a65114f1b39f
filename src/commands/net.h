// Network transfers: what the family registers.
#pragma once

namespace vm {

// Lets the naming layer read network names ("http:", "https:", "ftp:",
// "ftps:") through the transfers of this family. The engine start
// (host/engine.h) calls it.
void net_register();

}  // namespace vm

// The "ls" and "get" commands. Each returns the exit status.
#ifndef DIRSYNC_TOOLS_CATALOG_COMMANDS_H_
#define DIRSYNC_TOOLS_CATALOG_COMMANDS_H_

#include <cstdio>
#include <string>

#include "catalog_view.h"
#include "options.h"

namespace dsclient_tool {

// Prints the live entries of view to out, sorted by path: path ('/'
// separated), state, version, size ("-" for directories), tab separated.
void PrintCatalog(const CatalogView& view, std::FILE* out);

int RunList(const Options& options, const std::string& token);
int RunGet(const Options& options, const std::string& token);

}  // namespace dsclient_tool

#endif  // DIRSYNC_TOOLS_CATALOG_COMMANDS_H_

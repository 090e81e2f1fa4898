#include "platform/admin/stddirs.h"

#include "platform/places.h"

// The host keeps its machine-wide Library folder at the root of the boot volume.
std::optional<std::string> localLibraryFolder() { return std::string(places::kLocalLibrary); }

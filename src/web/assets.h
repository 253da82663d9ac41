#pragma once

#include <string_view>
#include <vector>

namespace orvendal::web {

// A file of the page built into the program (src/web/assets/), served under /estatico/.
struct EmbeddedAsset {
    std::string_view name;
    std::string_view bytes;
};

// Every embedded file; written by embed.cmake at build time.
const std::vector<EmbeddedAsset>& embeddedAssets();

// The embedded file called `name`, or none.
const EmbeddedAsset* findAsset(std::string_view name);

// Its Content-Type, from its extension.
std::string_view assetType(std::string_view name);

} // namespace orvendal::web

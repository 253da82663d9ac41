#include "assets.h"

namespace orvendal::web {

const EmbeddedAsset* findAsset(std::string_view name) {
    for (const EmbeddedAsset& asset : embeddedAssets()) {
        if (asset.name == name) {
            return &asset;
        }
    }
    return nullptr;
}

std::string_view assetType(std::string_view name) {
    if (name.ends_with(".css")) {
        return "text/css; charset=utf-8";
    }
    if (name.ends_with(".js")) {
        return "text/javascript; charset=utf-8";
    }
    return "image/svg+xml";
}

} // namespace orvendal::web

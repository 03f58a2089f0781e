// The page's files, built into the executable (generated from web/ and the
// charting library at build time).
#pragma once

#include <cstddef>

namespace kr2270::tool {

struct WebAsset {
  const char* path;  // "/", "/scope.js"
  const char* content_type;
  const unsigned char* data;
  std::size_t size;
};

extern const WebAsset kWebAssets[];
extern const std::size_t kWebAssetCount;

}  // namespace kr2270::tool

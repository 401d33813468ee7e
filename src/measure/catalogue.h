// The hosts that Tezmaro measures, compiled in: one text per region, indexed like the region selector.
#pragma once

#include <string_view>

inline constexpr int RegionCount = 6;

// The region's text: lines "area<TAB>host" separated by CR LF. Empty for an index outside 0..5.
std::string_view RegionText(int index);

// The selector's caption of the region ("服务器", "US 北美", …). Empty outside 0..5.
std::string_view RegionItemText(int index);

#include "measure/catalogue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "runtime/text.h"

namespace {

struct Row {
  std::string area;
  std::string host;
};

std::vector<Row> RowsOf(int region) {
  std::vector<Row> rows;
  for (const std::string& line : SplitText(RegionText(region), "\r\n")) {
    TextArray fields = SplitText(line, "\t");
    EXPECT_EQ(fields.size(), 2u) << "line: " << line;
    rows.push_back({fields.at(0), fields.size() > 1 ? fields[1] : std::string()});
  }
  return rows;
}

TEST(Catalogue, RegionsHaveTheirItemsAndLineCounts) {
  struct Case {
    const char* item;
    std::size_t lines;
  };
  const Case cases[] = {{"服务器", 16}, {"US 北美", 103}, {"EU 欧洲", 51},
                        {"AS 亚太", 56}, {"OC 澳洲", 0},  {"SA 南美", 9}};
  for (int region = 0; region < RegionCount; ++region) {
    SCOPED_TRACE(region);
    EXPECT_EQ(RegionItemText(region), cases[region].item);
    EXPECT_EQ(RowsOf(region).size(), cases[region].lines);
  }
  EXPECT_TRUE(RegionText(4).empty());
  EXPECT_TRUE(RegionText(-1).empty());
  EXPECT_TRUE(RegionText(RegionCount).empty());
  EXPECT_TRUE(RegionItemText(RegionCount).empty());
}

TEST(Catalogue, LinesAreExactlyAreaTabHost) {
  for (int region = 0; region < RegionCount; ++region) {
    const std::string_view text = RegionText(region);
    SCOPED_TRACE(region);
    EXPECT_EQ(text.find("\r\n\r\n"), std::string_view::npos) << "blank line";
    EXPECT_FALSE(text.ends_with("\r\n"));
    for (const Row& row : RowsOf(region)) {
      EXPECT_FALSE(row.area.empty());
      EXPECT_FALSE(row.host.empty());
      EXPECT_EQ(row.host.find_first_of(" \t\r\n"), std::string::npos) << row.host;
      EXPECT_NE(row.area.front(), ' ');
      EXPECT_NE(row.area.back(), ' ');
    }
  }
}

// Each run of one area: its length and its first and last host, in catalogue order.
TEST(Catalogue, AreasInOrderWithTheirHosts) {
  struct Run {
    int region;
    const char* area;
    int rows;
    const char* first;
    const char* last;
  };
  const std::vector<Run> expected = {
      {0, "美国东部（弗吉尼亚）", 1, "dynamodb.us-east-1.amazonaws.com", "dynamodb.us-east-1.amazonaws.com"},
      {0, "美国东部（俄亥俄）", 1, "dynamodb.us-east-2.amazonaws.com", "dynamodb.us-east-2.amazonaws.com"},
      {0, "美国西部（加利福尼亚）", 1, "dynamodb.us-west-1.amazonaws.com", "dynamodb.us-west-1.amazonaws.com"},
      {0, "美国西部（俄勒冈）", 1, "dynamodb.us-west-2.amazonaws.com", "dynamodb.us-west-2.amazonaws.com"},
      {0, "加拿大（中部）", 1, "dynamodb.ca-central-1.amazonaws.com", "dynamodb.ca-central-1.amazonaws.com"},
      {0, "欧洲（爱尔兰）", 1, "dynamodb.eu-west-1.amazonaws.com", "dynamodb.eu-west-1.amazonaws.com"},
      {0, "欧洲（伦敦）", 1, "dynamodb.eu-west-2.amazonaws.com", "dynamodb.eu-west-2.amazonaws.com"},
      {0, "欧洲（法兰克福）", 1, "dynamodb.eu-central-1.amazonaws.com", "dynamodb.eu-central-1.amazonaws.com"},
      {0, "亚太（孟买）", 1, "dynamodb.ap-south-1.amazonaws.com", "dynamodb.ap-south-1.amazonaws.com"},
      {0, "亚太（汉城）", 1, "dynamodb.ap-northeast-2.amazonaws.com", "dynamodb.ap-northeast-2.amazonaws.com"},
      {0, "亚太（新加坡）", 1, "dynamodb.ap-southeast-1.amazonaws.com", "dynamodb.ap-southeast-1.amazonaws.com"},
      {0, "亚太（悉尼）", 1, "dynamodb.ap-southeast-2.amazonaws.com", "dynamodb.ap-southeast-2.amazonaws.com"},
      {0, "亚太（东京）", 1, "dynamodb.ap-northeast-1.amazonaws.com", "dynamodb.ap-northeast-1.amazonaws.com"},
      {0, "美国南部（圣保罗）", 1, "dynamodb.sa-east-1.amazonaws.com", "dynamodb.sa-east-1.amazonaws.com"},
      {0, "中国（北京）", 1, "dynamodb.cn-north-1.amazonaws.com.cn", "dynamodb.cn-north-1.amazonaws.com.cn"},
      {0, "AWS GovCloud（美国）", 1, "dynamodb.us-gov-west-1.amazonaws.com", "dynamodb.us-gov-west-1.amazonaws.com"},
      {1, "北弗吉尼亚", 53, "23.23.255.255", "204.236.238.4"},
      {1, "俄亥俄州", 3, "13.58.0.253", "52.15.55.0"},
      {1, "北加州", 17, "13.56.63.251", "204.236.129.206"},
      {1, "俄勒冈", 27, "34.208.63.251", "54.245.127.255"},
      {1, "GovCloud", 1, "52.222.9.163", "52.222.9.163"},
      {1, "Central", 2, "35.182.0.251", "52.60.50.0"},
      {2, "爱尔兰", 31, "34.248.60.213", "185.48.120.66"},
      {2, "法兰克福", 18, "35.156.63.252", "35.157.61.4"},
      {2, "伦敦", 2, "35.176.0.252", "52.56.34.0"},
      {3, "东京", 19, "13.112.63.251", "176.34.56.254"},
      {3, "首尔", 3, "13.124.63.251", "52.79.52.64"},
      {3, "新加坡", 18, "13.228.0.251", "175.41.146.190"},
      {3, "悉尼", 13, "13.54.63.252", "54.253.0.1"},
      {3, "孟买", 3, "13.126.0.252", "52.66.66.2"},
      {5, "圣保罗", 9, "52.67.255.254", "177.71.255.255"},
  };
  std::vector<Run> actual;
  std::vector<std::string> keep;  // owns the texts the runs point at
  keep.reserve(400);
  for (int region = 0; region < RegionCount; ++region) {
    for (const Row& row : RowsOf(region)) {
      if (!actual.empty() && actual.back().region == region && row.area == actual.back().area) {
        ++actual.back().rows;
        actual.back().last = keep.emplace_back(row.host).c_str();
        continue;
      }
      const char* area = keep.emplace_back(row.area).c_str();
      const char* host = keep.emplace_back(row.host).c_str();
      actual.push_back({region, area, 1, host, host});
    }
  }
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(expected[i].area);
    EXPECT_EQ(actual[i].region, expected[i].region);
    EXPECT_STREQ(actual[i].area, expected[i].area);
    EXPECT_EQ(actual[i].rows, expected[i].rows);
    EXPECT_STREQ(actual[i].first, expected[i].first);
    EXPECT_STREQ(actual[i].last, expected[i].last);
  }
}

TEST(Catalogue, HostKinds) {
  // The first region lists names that must be resolved; the others only dotted quads.
  for (const Row& row : RowsOf(0)) EXPECT_TRUE(row.host.starts_with("dynamodb.")) << row.host;
  for (int region = 1; region < RegionCount; ++region) {
    for (const Row& row : RowsOf(region)) {
      EXPECT_EQ(row.host.find_first_not_of("0123456789."), std::string::npos) << row.host;
      EXPECT_EQ(std::count(row.host.begin(), row.host.end(), '.'), 3) << row.host;
    }
  }
}

TEST(Catalogue, DuplicatesAreKept) {
  // Europe lists one Frankfurt address twice; both rows are measured.
  const std::vector<Row> rows = RowsOf(2);
  std::set<std::string> distinct;
  for (const Row& row : rows) distinct.insert(row.host);
  EXPECT_EQ(rows.size(), 51u);
  EXPECT_EQ(distinct.size(), 50u);
  EXPECT_EQ(std::count_if(rows.begin(), rows.end(), [](const Row& r) { return r.host == "52.57.67.93"; }), 2);
  for (int region : {0, 1, 3, 5}) {
    std::set<std::string> hosts;
    for (const Row& row : RowsOf(region)) hosts.insert(row.host);
    EXPECT_EQ(hosts.size(), RowsOf(region).size()) << region;
  }
}

}  // namespace

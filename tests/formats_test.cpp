// The labelled formats: conversion of edge lists, Matrix Market matrices and
// baskets to the lines the reader counts, with their labels; refusals of
// malformed text naming file, line and field; the --format values; and the
// hint for a labelled dataset read in the default format.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "data.h"
#include "formats.h"

namespace {

using namespace quasibiclique;
using Rows = std::vector<std::vector<int>>;
using Names = std::vector<std::string>;

Names Texts(const Labels& labels) {
  Names texts;
  for (int k = 0; k < labels.size(); k++) texts.emplace_back(labels[k]);
  return texts;
}

// What the reader makes of converted lines: each line's numbers ascending
// and once (the loader counts a repeat once).
Rows ReadRows(const std::vector<char>& lines) {
  Data data(lines.data(), lines.size());
  EXPECT_TRUE(data.FindVertexNum("lines").ok());
  Rows rows(data.Lines());
  for (auto& row : rows) {
    data.ReadLine(row);
    std::sort(row.begin(), row.end());
    row.erase(std::unique(row.begin(), row.end()), row.end());
  }
  return rows;
}

struct ConvertCase {
  const char* name;
  DatasetFormat format;
  GraphType type;
  std::string text;
  Rows rows;
  Names tids, items;
};

TEST(ConvertLabelled, GivesIdsByFirstAppearanceAndTheLinesOfEachFormat) {
  const ConvertCase cases[] = {
      {"edges: comments, blank lines, ids by first appearance", kFormatEdges, kBipartite,
       "# header\n  % another\n\nalice x\nbob y\n\nalice y\n",
       {{0, 1}, {1}}, {"alice", "bob"}, {"x", "y"}},
      {"edges: separator runs, CRLF, weights and times ignored", kFormatEdges, kBipartite,
       "  a,\tb 3.5 1700000000\r\n c ,, a\r\n", {{0}, {1}}, {"a", "c"}, {"b", "a"}},
      {"edges: numbers are labels too", kFormatEdges, kBipartite, "10 20\n5 20\n10 7\n",
       {{0, 1}, {0}}, {"10", "5"}, {"20", "7"}},
      {"edges: a repeated edge counts once", kFormatEdges, kBipartite, "a b\na b\n",
       {{0}}, {"a"}, {"b"}},
      {"edges: labels copied verbatim", kFormatEdges, kBipartite, "\"q\" é-1\n",
       {{0}}, {"\"q\""}, {"é-1"}},
      {"edges: nothing but comments", kFormatEdges, kBipartite, "% a b\n# c d", {}, {}, {}},
      {"edges, graph type 1: symmetric, no self loops or repeats", kFormatEdges, kUndirected,
       "u v\nv w\nv u\nw w\n", {{1}, {0, 2}, {1}}, {"u", "v", "w"}, {"u", "v", "w"}},
      {"edges, graph type 1: a vertex seen only in a self loop", kFormatEdges, kUndirected,
       "x x", {{}}, {"x"}, {"x"}},
      {"mtx: comments, every row, 1-based numbers as labels", kFormatMtx, kBipartite,
       "%%MatrixMarket matrix coordinate pattern general\n% made by hand\n\n3 4 3\n1 2\n3 4\n"
       "1 1\n",
       {{0, 1}, {}, {3}}, {"1", "2", "3"}, {"1", "2", "3", "4"}},
      {"mtx: banner in any case, values ignored, CRLF", kFormatMtx, kBipartite,
       "%%matrixmarket MATRIX Coordinate REAL General\r\n2 2 2\r\n1 2 0.5\r\n2 1 -3e4\r\n",
       {{1}, {0}}, {"1", "2"}, {"1", "2"}},
      {"mtx: symmetric entries mirrored", kFormatMtx, kBipartite,
       "%%MatrixMarket matrix coordinate integer symmetric\n3 3 2\n2 1 5\n3 3 1\n",
       {{1}, {0}, {2}}, {"1", "2", "3"}, {"1", "2", "3"}},
      {"mtx: one row and no entries is one empty line", kFormatMtx, kBipartite,
       "%%MatrixMarket matrix coordinate real general\n1 5 0\n", {{}}, {"1"},
       {"1", "2", "3", "4", "5"}},
      {"mtx, graph type 1: symmetric adjacency, no self loops", kFormatMtx, kUndirected,
       "%%MatrixMarket matrix coordinate pattern general\n3 3 3\n1 2\n2 2\n3 1\n",
       {{1, 2}, {0}, {0}}, {"1", "2", "3"}, {"1", "2", "3"}},
      {"mtx, graph type 1: symmetric matrix", kFormatMtx, kUndirected,
       "%%MatrixMarket matrix coordinate pattern symmetric\n3 3 2\n2 1\n3 2\n",
       {{1}, {0, 2}, {1}}, {"1", "2", "3"}, {"1", "2", "3"}},
      {"baskets: comment and blank lines are empty transactions", kFormatBaskets, kBipartite,
       "bread milk\n# weekend\n\n  milk,eggs\tbread \r\n", {{0, 1}, {}, {}, {0, 1, 2}, {}}, {},
       {"bread", "milk", "eggs"}},
      {"baskets: a final line end adds an empty line", kFormatBaskets, kBipartite, "a b\n",
       {{0, 1}, {}}, {}, {"a", "b"}},
      {"baskets: one comment line is one transaction", kFormatBaskets, kBipartite, "% x",
       {{}}, {}, {}},
      {"baskets: empty text", kFormatBaskets, kBipartite, "", {}, {}, {}},
  };
  for (const ConvertCase& c : cases) {
    SCOPED_TRACE(c.name);
    LabelledText out;
    const Status s = ConvertLabelled(c.text.data(), c.text.size(), c.format, c.type, "d", &out);
    ASSERT_TRUE(s.ok()) << s.message();
    EXPECT_EQ(ReadRows(out.lines), c.rows);
    EXPECT_EQ(Texts(out.tids), c.tids);
    EXPECT_EQ(Texts(out.items), c.items);
  }
}

// Enough labels to grow the table of ids many times; every label keeps the
// id of its first appearance.
TEST(ConvertLabelled, ManyLabelsKeepTheirIds) {
  const int n = 20000;
  std::string text;
  for (int k = 0; k < n; k++) text += "t" + std::to_string(k) + " i" + std::to_string(k % 700) + "\n";
  for (int k = n - 1; k >= 0; k -= 3) text += "t" + std::to_string(k) + " j\n";
  LabelledText out;
  ASSERT_TRUE(ConvertLabelled(text.data(), text.size(), kFormatEdges, kBipartite, "d", &out).ok());
  ASSERT_EQ(out.tids.size(), n);
  ASSERT_EQ(out.items.size(), 701);
  const Rows rows = ReadRows(out.lines);
  ASSERT_EQ(int(rows.size()), n);
  for (int k = 0; k < n; k++) {
    ASSERT_EQ(out.tids[k], "t" + std::to_string(k));
    std::vector<int> items = {k % 700};
    if ((n - 1 - k) % 3 == 0) items.push_back(700);  // "j" came after every "i"
    ASSERT_EQ(rows[k], items) << k;
  }
  for (int k = 0; k < 700; k++) ASSERT_EQ(out.items[k], "i" + std::to_string(k));
  EXPECT_EQ(out.items[700], "j");
}

struct RefusalCase {
  DatasetFormat format;
  GraphType type;
  std::string text;
  Status::Code code;
  std::string message;
};

TEST(ConvertLabelled, RefusesMalformedTextNamingLineAndField) {
  const std::string banner = "%%MatrixMarket matrix coordinate pattern general\n";
  const auto kC = Status::kCorruption;
  const RefusalCase cases[] = {
      {kFormatEdges, kBipartite, "x y\nlonely\n", kC, "d:2: field 2: missing end point"},
      {kFormatEdges, kUndirected, "# c\r\n,a,\r\n", kC, "d:2: field 2: missing end point"},
      {kFormatMtx, kBipartite, "", kC, "d:1: not a Matrix Market file: it is empty"},
      {kFormatMtx, kBipartite, "3 3 1\n1 1\n", kC,
       "d:1: not a Matrix Market file: the first line must start with %%MatrixMarket"},
      {kFormatMtx, kBipartite, "%%MatrixMarket vector coordinate real general\n", kC,
       "d:1: field 2: object 'vector' is not supported (only matrix)"},
      {kFormatMtx, kBipartite, "%%MatrixMarket matrix array real general\n", kC,
       "d:1: field 3: format 'array' is not supported (only coordinate)"},
      {kFormatMtx, kBipartite, "%%MatrixMarket matrix coordinate complex general\n", kC,
       "d:1: field 4: field 'complex' is not supported (only pattern, integer or real)"},
      {kFormatMtx, kBipartite, "%%MatrixMarket matrix coordinate real hermitian\n", kC,
       "d:1: field 5: symmetry 'hermitian' is not supported (only general or symmetric)"},
      {kFormatMtx, kBipartite, "%%MatrixMarket matrix coordinate real skew-symmetric\n", kC,
       "d:1: field 5: symmetry 'skew-symmetric' is not supported (only general or symmetric)"},
      {kFormatMtx, kBipartite, "%%MatrixMarket matrix coordinate real", kC,
       "d:1: field 5: missing the symmetry (general or symmetric)"},
      {kFormatMtx, kBipartite, banner + "% only comments\n", kC,
       "d:3: missing the size line (rows columns entries)"},
      {kFormatMtx, kBipartite, banner + "3 x 2\n", kC,
       "d:2: field 2: number of columns 'x' is not a number"},
      {kFormatMtx, kBipartite, banner + "%\n3 3\n", kC,
       "d:3: field 3: missing the number of entries"},
      {kFormatMtx, kBipartite, banner + "3000000000 1 0\n", kC,
       "d:2: field 1: too many rows (3000000000; the most allowed is 2147483646)"},
      {kFormatMtx, kBipartite,
       "%%MatrixMarket matrix coordinate real symmetric\n3 4 0\n", kC,
       "d:2: a symmetric matrix must be square (3 x 4)"},
      {kFormatMtx, kUndirected, banner + "5 4 0\n", kC,
       "d:2: graphType 1 needs a square matrix (5 x 4)"},
      {kFormatMtx, kBipartite, banner + "5 5 2\n1 1\n7 1\n", kC,
       "d:4: field 1: row 7 is not in 1 .. 5"},
      {kFormatMtx, kBipartite, banner + "5 4 1\n1 0\n", kC,
       "d:3: field 2: column 0 is not in 1 .. 4"},
      {kFormatMtx, kBipartite, banner + "5 4 1\n1 99999999999999999999\n", kC,
       "d:3: field 2: column 99999999999999999999 is not in 1 .. 4"},
      {kFormatMtx, kBipartite, banner + "5 4 1\n1.5 2\n", kC,
       "d:3: field 1: row '1.5' is not a number"},
      {kFormatMtx, kBipartite, banner + "5 4 1\n 3\n", kC, "d:3: field 2: missing the column"},
      {kFormatMtx, kBipartite, banner + "3 3 3\n1 1\n2 2\n", kC,
       "d:5: 2 entries where the size line has 3"},
      {kFormatMtx, kBipartite, banner + "3 3 1\n1 1\n% late\n2 2", kC,
       "d:5: more entries than the 1 of the size line"},
      {kFormatBaskets, kUndirected, "a b\n", Status::kInvalidArgument,
       "--format=baskets needs graphType 0"},
  };
  for (const RefusalCase& c : cases) {
    SCOPED_TRACE(c.text);
    LabelledText out;
    const Status s = ConvertLabelled(c.text.data(), c.text.size(), c.format, c.type, "d", &out);
    EXPECT_EQ(s.code(), c.code);
    EXPECT_EQ(s.message(), c.message);
  }
}

TEST(ParseFormat, NamesTheFourFormatsAndRefusesAnythingElse) {
  const std::pair<const char*, DatasetFormat> known[] = {
      {"lines", kFormatLines}, {"edges", kFormatEdges}, {"mtx", kFormatMtx},
      {"baskets", kFormatBaskets}};
  for (const auto& [value, format] : known) {
    DatasetFormat parsed = format == kFormatLines ? kFormatMtx : kFormatLines;
    EXPECT_TRUE(ParseFormat(value, &parsed).ok()) << value;
    EXPECT_EQ(parsed, format) << value;
  }
  for (const char* value : {"", "Edges", "csv", "mtx ", "line"}) {
    DatasetFormat parsed = kFormatLines;
    const Status s = ParseFormat(value, &parsed);
    EXPECT_EQ(s.code(), Status::kInvalidArgument);
    EXPECT_EQ(s.message(),
              "--format '" + std::string(value) + "' must be lines, edges, mtx or baskets");
  }
}

TEST(FormatHint, NamesTheFormatALabelledDatasetLooksLike) {
  const std::string mtx = "looks like a Matrix Market file: use --format=mtx";
  auto comment = [](char c) {
    return std::string("starts with a comment line ('") + c +
           "'), which is read as numbers: for an edge list use --format=edges";
  };
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"1 2 3\n4 5\n", ""},
      {"\n\n", ""},
      {"1 2\n# a late comment\n", ""},
      {"a b\n", ""},
      {"# source: a crawl\n1 2\n", comment('#')},
      {"\n  \t\r\n% u v\n", comment('%')},
      {"%%MatrixMarket matrix coordinate real general\n2 2 1\n1 1 3\n", mtx},
      {"%%matrixmarket matrix coordinate pattern symmetric", mtx},
      {"%%Matrix", comment('%')},
  };
  for (const auto& [text, hint] : cases) {
    EXPECT_EQ(FormatHint(text.data(), text.size()), hint) << text;
  }
}

}  // namespace

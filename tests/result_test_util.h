// Helpers of the result store and result writer tests: storing results given
// as vectors, the expected text of a line, writing a store's results to a
// string, and a model of the maximal tidsets per itemset.
#ifndef QUASIBICLIQUE_TESTS_RESULT_TEST_UTIL_H
#define QUASIBICLIQUE_TESTS_RESULT_TEST_UTIL_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "result_store.h"
#include "result_writer.h"
#include "test_util.h"

namespace qbtest {

using Ids = std::vector<int>;
using Result = std::pair<Ids, Ids>;  // (tids, items)

constexpr int kMaxId = 64;

inline void Add(quasibiclique::ResultStore& store, Ids tids, Ids items) {
  store.Add(tids.data(), static_cast<int>(tids.size()), items.data(),
            static_cast<int>(items.size()));
}

inline std::string Line(const Ids& tids, const Ids& items) {
  std::string s;
  for (int t : tids) s += std::to_string(t) + " ";
  s += ";";
  for (int i : items) s += std::to_string(i) + " ";
  return s + "\n";
}

inline Ids Identity(int n = kMaxId) {
  Ids ids(n);
  for (int i = 0; i < n; i++) ids[i] = i;
  return ids;
}

// Writes everything `writer` holds into a fresh temporary file and returns
// what it wrote.
inline std::string WriteOut(quasibiclique::ResultWriter& writer, const Ids& itemoldid = Identity(),
                            const Ids& tidoldid = Identity()) {
  TempDir dir;
  const std::string path = dir.File("out.txt");
  FILE* file = fopen(path.c_str(), "w");
  EXPECT_NE(file, nullptr);
  EXPECT_EQ(writer.WriteText(file, tidoldid.data(), static_cast<int>(tidoldid.size()),
                             itemoldid.data(), static_cast<int>(itemoldid.size())),
            0);
  EXPECT_EQ(fclose(file), 0);
  return ReadFile(path);
}

// Hands everything `store` holds to a writer and returns the text it writes.
inline std::string WriteOut(quasibiclique::ResultStore& store, bool undirected = false,
                            const Ids& itemoldid = Identity(), const Ids& tidoldid = Identity()) {
  quasibiclique::ResultWriter writer(store, undirected);
  return WriteOut(writer, itemoldid, tidoldid);
}

// Model: per itemset, the inclusion-maximal tidsets among those inserted.
// Returns 1 when the tidset is kept (the store then counts it as stored).
inline int ModelAdd(std::map<Ids, std::set<Ids>>& model, const Result& r) {
  std::set<Ids>& kept = model[r.second];
  auto contains = [](const Ids& big, const Ids& small) {
    return std::includes(big.begin(), big.end(), small.begin(), small.end());
  };
  for (const Ids& s : kept)
    if (contains(s, r.first)) return 0;
  for (auto it = kept.begin(); it != kept.end();)
    it = contains(r.first, *it) ? kept.erase(it) : std::next(it);
  kept.insert(r.first);
  return 1;
}

}  // namespace qbtest

#endif  // QUASIBICLIQUE_TESTS_RESULT_TEST_UTIL_H

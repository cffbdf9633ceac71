// The loaded database: the dataset read, checked, pruned for one set of
// options and renumbered, held as transaction lists and item lists with the
// maps back to the dataset's ids; and the one way it is loaded.
#ifndef QUASIBICLIQUE_DATABASE_H
#define QUASIBICLIQUE_DATABASE_H

#include <memory>
#include <string>
#include <vector>

#include "data.h"
#include "formats.h"
#include "pools.h"
#include "quasibiclique/quasibiclique.h"

namespace quasibiclique {

// Ids: an item's old id is the number written in the dataset; a
// transaction's old tid is its line number from 0. In a labelled format the
// old ids are those the conversion gave, and the labels name them. Surviving transactions and
// items get new ids 0 .. tidnum - 1 and 0 .. itemnum - 1, by ascending size
// or support, ties going to the higher old id first. Everything below works
// in new ids.
//   counted list: [n | e1 ... en], ascending
struct Database::Rep {
  Rep() = default;
  ~Rep() {
    delete[] tranlist;
    delete[] itemlist;
  }
  Rep(const Rep&) = delete;
  Rep& operator=(const Rep&) = delete;

  bool undirected() const { return options.graphtype == kUndirected; }

  Options options;             // what the database was pruned for
  int tidcount = 0;            // lines as read
  int itemsize = 0;            // old item ids: largest number + 1 (graph type 1: tidcount)
  int tidnum = 0;              // transactions that survive pruning
  int itemnum = 0;             // items that survive pruning
  std::vector<int> tidoldid;   // tidnum ints: new tid -> old tid
  std::vector<int> itemoldid;  // itemnum ints: new item -> old item
  int** tranlist = nullptr;    // tidnum entries: new tid -> [n | new items]
  int** itemlist = nullptr;    // itemnum entries: new item -> [s | new tids]
  // The permanent chains the lists are cut from; their page sizes are those
  // a run's pools need for the records of its conditional databases.
  PagePool tranpool;
  PagePool itempool;
  DatasetFormat format = kFormatLines;  // how the dataset was written
  Labels tidlabels;   // per old tid; empty: the tid is its own label
  Labels itemlabels;  // per old item; empty: the item is its own label
};

class DatabaseLoader {
 public:
  // Loads the opened dataset `data`, written in `format`, for `options`: a
  // labelled format is first converted to the default one, keeping its
  // labels; then the lines are counted and read into records, what the graph
  // type does not allow is refused, and the records are pruned, renumbered
  // and built in both orientations; the reader's copy of the text is given
  // back. `name` names the dataset in messages. Returns OK; Corruption naming
  // the line and what is wrong; InvalidArgument when the format does not
  // serve the graph type; or OutOfMemory.
  // REQUIRES: data.Opened(); options.Validate() is OK.
  static Status Load(Data& data, const std::string& name, const Options& options,
                     std::unique_ptr<Database>* db, DatasetFormat format = kFormatLines);
};

}  // namespace quasibiclique

#endif  // QUASIBICLIQUE_DATABASE_H

// The core of the Python module: loads a dataset (rows of ids, or a file),
// mines or counts it on a thread of its own while the interpreter's thread
// waits without the GIL, looks for signals (Ctrl-C) while it waits, and turns
// the results into Python objects as they are handed over (in the output
// file's order, or as the exact search finds them). The mining thread never touches a Python object.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "quasibiclique/quasibiclique.h"

namespace py = pybind11;
namespace qb = quasibiclique;

namespace {

// Results a batch carries from the mining thread to the interpreter's.
constexpr size_t kBatchResults = 4096;
// Full batches that may wait for the interpreter's thread; the mining
// thread waits beyond them, so that results held twice stay few.
constexpr size_t kQueuedBatches = 4;
// How often the waiting interpreter's thread looks for signals.
constexpr auto kSignalCheck = std::chrono::milliseconds(20);

// Results as the sink received them.
// batch: [nt | t1 ... tnt | ni | i1 ... ini] per result, dataset ids
struct Batch {
  std::vector<int> ids;
  size_t results = 0;
};

// The hand-over from the mining thread (Push, Finish) to the interpreter's
// thread (Pop). Once abandoned, pushed batches are dropped at once.
class Channel {
 public:
  void Push(Batch batch) {
    std::unique_lock<std::mutex> hold(mutex_);
    room_.wait(hold, [this] { return abandoned_ || queue_.size() < kQueuedBatches; });
    if (abandoned_) return;
    queue_.push_back(std::move(batch));
    ready_.notify_one();
  }
  void Finish(qb::Status status) {
    std::lock_guard<std::mutex> hold(mutex_);
    status_ = std::move(status);
    finished_ = true;
    ready_.notify_one();
  }
  // Waits up to kSignalCheck for a batch. Returns true with *batch filled;
  // false with *ended set when the run ended and every batch was taken.
  bool Pop(Batch* batch, bool* ended) {
    std::unique_lock<std::mutex> hold(mutex_);
    ready_.wait_for(hold, kSignalCheck, [this] { return finished_ || !queue_.empty(); });
    *ended = finished_ && queue_.empty();
    if (queue_.empty()) return false;
    *batch = std::move(queue_.front());
    queue_.pop_front();
    room_.notify_one();
    return true;
  }
  void Abandon() {
    std::lock_guard<std::mutex> hold(mutex_);
    abandoned_ = true;
    queue_.clear();
    room_.notify_all();
  }
  // True when the interpreter's thread has taken every batch pushed.
  bool Drained() {
    std::lock_guard<std::mutex> hold(mutex_);
    return queue_.empty();
  }
  // The run's status. REQUIRES: Pop has reported the end
  const qb::Status& status() const { return status_; }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::condition_variable room_;
  std::deque<Batch> queue_;
  bool finished_ = false;
  bool abandoned_ = false;
  qb::Status status_;
};

// Collects the results of a run into batches for the channel. Results
// handed over as they are found go on at once while the interpreter's
// thread waits for them, in batches while it is busy.
class BatchSink final : public qb::ResultSink {
 public:
  BatchSink(Channel& channel, bool asfound) : channel_(channel), asfound_(asfound) {}
  void Add(const int* transactions, int ntransactions, const int* items, int nitems) override {
    std::vector<int>& ids = batch_.ids;
    ids.push_back(ntransactions);
    ids.insert(ids.end(), transactions, transactions + ntransactions);
    ids.push_back(nitems);
    ids.insert(ids.end(), items, items + nitems);
    if (++batch_.results == kBatchResults || (asfound_ && channel_.Drained())) Flush();
  }
  void Flush() {
    if (batch_.results) channel_.Push(std::move(batch_));
    batch_ = Batch();
  }

 private:
  Channel& channel_;
  const bool asfound_;
  Batch batch_;
};

// What a run loads and how it mines.
struct Request {
  std::string path;  // the dataset file, or "" for rows
  qb::DatasetFormat format = qb::kFormatLines;
  std::vector<std::vector<int>> rows;
  qb::Options options;
  bool count = false;
  bool asfound = false;  // results as the exact search finds them, in no fixed order
};

// The mining thread's part: loads, then counts or mines into the channel.
// Sets *db once loaded and *counted for a count; the channel gets the status.
void Work(const Request& request, Channel& channel, std::unique_ptr<qb::Database>* db,
          long long* counted) {
  qb::Status s =
      request.path.empty()
          ? qb::Database::FromTransactions(request.rows, request.options, db)
          : qb::Database::FromFile(request.path, request.options, db, request.format);
  if (s.ok() && request.count) {
    s = qb::Count(**db, request.options, counted);
  } else if (s.ok()) {
    BatchSink sink(channel, request.asfound);
    s = request.asfound ? qb::MineAsFound(**db, request.options, sink)
                        : qb::Mine(**db, request.options, sink);
    sink.Flush();
  }
  channel.Finish(std::move(s));
}

// Raises the Python exception of a failed status (a bound that stopped the
// run is no failure: its results are the run's).
void RaiseFor(const qb::Status& s) {
  if (s.ok() || s.code() == qb::Status::kStopped) return;
  PyObject* type = PyExc_ValueError;
  if (s.code() == qb::Status::kNotFound) type = PyExc_FileNotFoundError;
  if (s.code() == qb::Status::kIOError) type = PyExc_OSError;
  if (s.code() == qb::Status::kOutOfMemory) type = PyExc_MemoryError;
  PyErr_SetString(type, s.message().c_str());
  throw py::error_already_set();
}

// The results' type: a named tuple (transactions, items) made in C.
PyTypeObject* result_type = nullptr;

PyStructSequence_Field result_fields[] = {
    {"transactions", "the result's transactions, ascending, by the caller's labels"},
    {"items", "the result's items, ascending, by the caller's labels"},
    {nullptr, nullptr}};
PyStructSequence_Desc result_desc = {
    "quasibiclique.Result",
    "A quasi-biclique: its transactions and its items (graph 'undirected': both vertices).",
    result_fields, 2};

// Names one side's dataset ids for Python: by a list indexed by id, by the
// ids themselves, or by the labels of a labelled dataset file.
class Namer {
 public:
  enum Kind { kList, kIds, kTransactionLabels, kItemLabels };
  Namer(Kind kind, py::object list) : kind_(kind), list_(std::move(list)) {}

  // A new reference to the name of id. REQUIRES: db is set for file labels
  PyObject* Name(int id) {
    if (kind_ == kList) {
      PyObject* name = PyList_GET_ITEM(list_.ptr(), id);
      Py_INCREF(name);
      return name;
    }
    if (kind_ == kIds) return PyLong_FromLong(id);
    py::object& name = named_[id];
    if (!name) {
      name = py::str(kind_ == kTransactionLabels ? db->transaction_label(id) : db->item_label(id));
    }
    return name.inc_ref().ptr();
  }

  const qb::Database* db = nullptr;

 private:
  const Kind kind_;
  py::object list_;
  std::unordered_map<int, py::object> named_;  // labels of a labelled file, made once
};

// A tuple of the names of n ids.
py::tuple Names(Namer& namer, const int* ids, int n) {
  py::tuple names(n);
  for (int k = 0; k < n; k++) PyTuple_SET_ITEM(names.ptr(), k, namer.Name(ids[k]));
  return names;
}

// Turns a batch into Result objects and hands each to take.
template <typename Take>
void Convert(const Batch& batch, Namer& transactions, Namer& items, Take take) {
  const int* at = batch.ids.data();
  for (size_t r = 0; r < batch.results; r++) {
    py::tuple t = Names(transactions, at + 1, at[0]);
    at += 1 + at[0];
    py::tuple i = Names(items, at + 1, at[0]);
    at += 1 + at[0];
    py::object result = py::reinterpret_steal<py::object>(PyStructSequence_New(result_type));
    if (!result) throw py::error_already_set();
    PyStructSequence_SET_ITEM(result.ptr(), 0, t.release().ptr());
    PyStructSequence_SET_ITEM(result.ptr(), 1, i.release().ptr());
    take(std::move(result));
  }
}

// A run on its own thread, driven from the interpreter's: the thread is
// joined on every way out, after a stop request when the way out is an
// exception (a signal's, the callback's, a failed conversion's).
class Run {
 public:
  explicit Run(Request request) : request_(std::move(request)) {
    request_.options.stop = &token_;
    thread_ = std::thread(Work, std::cref(request_), std::ref(channel_), &db_, &counted_);
  }
  ~Run() {
    token_.RequestStop();
    channel_.Abandon();
    py::gil_scoped_release unlocked;
    thread_.join();
  }
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;

  // Hands every batch to take until the run ends; raises a signal's
  // exception. Returns the run's status.
  template <typename Take>
  const qb::Status& Drive(Take take) {
    Batch batch;
    bool ended = false;
    while (!ended) {
      bool got;
      {
        py::gil_scoped_release unlocked;
        got = channel_.Pop(&batch, &ended);
      }
      if (PyErr_CheckSignals() != 0) throw py::error_already_set();
      if (got) take(batch);
    }
    return channel_.status();
  }

  // The loaded database. REQUIRES: a batch has come, or the run ended
  const qb::Database* db() const { return db_.get(); }
  long long counted() const { return counted_; }

 private:
  Request request_;
  qb::StopToken token_;
  Channel channel_;
  std::unique_ptr<qb::Database> db_;
  long long counted_ = 0;
  std::thread thread_;
};

// The namer of one side: the caller's list, or for a file its labels when it
// has them for that side (a baskets file names items only).
Namer MakeNamer(py::object labels, const Request& request, bool itemside) {
  if (!labels.is_none()) return Namer(Namer::kList, std::move(labels));
  const bool labelled =
      request.format != qb::kFormatLines && (itemside || request.format != qb::kFormatBaskets);
  if (request.path.empty() || !labelled) return Namer(Namer::kIds, py::none());
  return Namer(itemside ? Namer::kItemLabels : Namer::kTransactionLabels, py::none());
}

// The options of a run, refused as the command line refuses them.
qb::Options MakeOptions(int item_support, int item_tolerance, int transaction_tolerance,
                        int transaction_support, bool undirected, int search, int threads,
                        long long max_results, double time_limit) {
  qb::Options options;
  options.item_supportLevel = item_support;
  options.itemTolerance = item_tolerance;
  options.transactionTolerance = transaction_tolerance;
  options.transaction_supportLevel = transaction_support;
  options.graphtype = undirected ? qb::kUndirected : qb::kBipartite;
  options.search = static_cast<qb::SearchChoice>(search);
  options.threads = threads;
  options.max_results = max_results;
  options.time_limit = time_limit;
  RaiseFor(options.Validate());
  return options;
}

// Mines and returns a list of Results, or the number of results handed to
// callback; with count, only the number.
py::object RunRequest(Request request, py::object transaction_labels, py::object item_labels,
                      py::object callback) {
  Namer transactions = MakeNamer(std::move(transaction_labels), request, false);
  Namer items = MakeNamer(std::move(item_labels), request, true);
  const bool count = request.count;
  Run run(std::move(request));
  if (count) {
    RaiseFor(run.Drive([](const Batch&) {}));
    return py::int_(run.counted());
  }
  py::list results;
  long long handed = 0;
  const qb::Status& s = run.Drive([&](const Batch& batch) {
    transactions.db = items.db = run.db();
    Convert(batch, transactions, items, [&](py::object result) {
      if (callback.is_none()) {
        results.append(std::move(result));
      } else {
        callback(std::move(result));
      }
      handed++;
    });
  });
  RaiseFor(s);
  if (callback.is_none()) return std::move(results);
  return py::int_(handed);
}

py::object RunOnRows(std::vector<std::vector<int>> rows, const std::string& path, int format,
                     int item_support, int item_tolerance, int transaction_tolerance,
                     int transaction_support, bool undirected, int search, int threads,
                     long long max_results, double time_limit, bool count, bool found,
                     py::object transaction_labels, py::object item_labels,
                     py::object callback) {
  Request request;
  request.options =
      MakeOptions(item_support, item_tolerance, transaction_tolerance, transaction_support,
                  undirected, search, threads, max_results, time_limit);
  request.rows = std::move(rows);
  request.path = path;
  request.format = static_cast<qb::DatasetFormat>(format);
  request.count = count;
  request.asfound = found;
  return RunRequest(std::move(request), std::move(transaction_labels), std::move(item_labels),
                    std::move(callback));
}

}  // namespace

PYBIND11_MODULE(_core, m) {
  m.doc() = "The miner's core; use the functions of the quasibiclique package.";
  result_type = PyStructSequence_NewType(&result_desc);
  if (!result_type) throw py::error_already_set();
  m.attr("Result") = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(result_type));
  m.def("run", &RunOnRows, py::arg("rows"), py::arg("path"), py::arg("format"),
        py::arg("item_support"), py::arg("item_tolerance"), py::arg("transaction_tolerance"),
        py::arg("transaction_support"), py::arg("undirected"), py::arg("search"),
        py::arg("threads"), py::arg("max_results"), py::arg("time_limit"), py::arg("count"), py::arg("found"),
        py::arg("transaction_labels"), py::arg("item_labels"), py::arg("callback"),
        "Loads rows of ids (or the file at path when path is not empty) and mines or counts "
        "them; see quasibiclique.mine.");
}

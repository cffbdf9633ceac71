// The program over an MPI job: MPI's start and end, the steps on which the
// processes agree (the dataset's text, each step's outcome, the exit
// status) and the share of the mining. Every process runs the driver; the
// others than rank 0 say nothing on the standard streams.
#include "mpi_run.h"

#include <fcntl.h>
#include <mpi.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "driver.h"
#include "memory_status.h"
#include "miner.h"
#include "mpi_output.h"
#include "output_blocks.h"
#include "resident_limit.h"
#include "result_shards.h"
#include "result_writer.h"
#include "mpi_share.h"
#include "run_group.h"

namespace quasibiclique {
namespace {

constexpr int kLeader = 0;

// How often a process waiting for the others looks: it never spins, since
// the processes of a job may share cores with each other's work.
constexpr auto kPoll = std::chrono::milliseconds(1);

void Await(MPI_Request* request) {
  for (int done = 0;;) {
    MPI_Test(request, &done, MPI_STATUS_IGNORE);
    if (done) return;
    std::this_thread::sleep_for(kPoll);
  }
}

void Broadcast(void* data, int count, MPI_Datatype type, int root) {
  MPI_Request request;
  MPI_Ibcast(data, count, type, root, MPI_COMM_WORLD, &request);
  Await(&request);
}

// Bytes of the dataset's text broadcast at once: within MPI's int counts,
// and the scratch of a process without room for the whole text.
constexpr size_t kPiece = size_t{16} << 20;

// The leader's piece [data, data + size) to every process.
void BroadcastPiece(char* data, size_t size) {
  Broadcast(data, static_cast<int>(size), MPI_CHAR, kLeader);
}

// A status from its code and message, as another process had it.
Status StatusOf(int code, std::string message) {
  switch (code) {
    case Status::kOk:
      return Status::OK();
    case Status::kInvalidArgument:
      return Status::InvalidArgument(std::move(message));
    case Status::kNotFound:
      return Status::NotFound(std::move(message));
    case Status::kCorruption:
      return Status::Corruption(std::move(message));
    case Status::kIOError:
      return Status::IOError(std::move(message));
    case Status::kOutOfMemory:
      return Status::OutOfMemory(std::move(message));
    default:
      return Status::Stopped(std::move(message));
  }
}

// The status `s` of process root, on every process.
Status BroadcastStatus(const Status& s, int root) {
  long long head[2] = {s.code(), static_cast<long long>(s.message().size())};
  Broadcast(head, 2, MPI_LONG_LONG, root);
  std::string message = s.message();
  message.resize(size_t(head[1]));
  if (head[1] > 0) Broadcast(message.data(), static_cast<int>(head[1]), MPI_CHAR, root);
  return StatusOf(static_cast<int>(head[0]), std::move(message));
}

// The talker of a process cannot go on: the temporary output goes (the
// driver's report does that) before the whole job ends with the status.
[[noreturn]] void EndJob(const Status& s) {
  MPI_Abort(MPI_COMM_WORLD, ReportFailure(s));
  std::abort();
}

// The processes of the job that share this one's memory (its machine).
int ProcessesSharingMemory() {
  MPI_Comm machine;
  if (MPI_Comm_split_type(MPI_COMM_WORLD, MPI_COMM_TYPE_SHARED, 0, MPI_INFO_NULL, &machine) !=
      MPI_SUCCESS) {
    return 1;
  }
  int size = 1;
  MPI_Comm_size(machine, &size);
  MPI_Comm_free(&machine);
  return size;
}

class MpiGroup final : public RunGroup {
 public:
  MpiGroup(int rank, int ranks)
      : rank_(rank), ranks_(ranks), local_(ProcessesSharingMemory()), share_(rank, ranks, EndJob) {}

  bool Leads() const override { return rank_ == kLeader; }
  Status ShareText(Data& data, const Status& read) override;
  Status Agree(const Status& mine) override;
  TaskShare& share() override { return share_; }
  void Start() override { share_.Start(); }
  void Finish(const Status& mined) override { share_.Finish(mined); }
  std::string ShareOutputPath(const std::string& temporary) override;
  Status MineAndWriteTogether(const Database& db, const Options& options, RunMonitor* monitor,
                              size_t residentlimit, const std::string& path, long long* pairs,
                              int* lines) override;
  int ProcessesOnThisMachine() const override { return local_; }
  int Exit(int status) override {
    Broadcast(&status, 1, MPI_INT, kLeader);
    return status;
  }

 private:
  // Mines this process's share of the tasks into `local`, keeping its pairs.
  Status MineKept(const Database& db, const Options& options, RunMonitor& watched,
                  WeighedSink& weighed);
  // Lays this process's block out and writes it at its offset into path.
  Status WriteBlock(const Database& db, const Options& options, ResultStore& owned,
                    const std::string& path, int* lines);
  // Takes the leader's text of `size` bytes. Returns false, having taken
  // part in the broadcast all the same, when there is no memory for it.
  bool ReceiveText(Data& data, size_t size);

  const int rank_;
  const int ranks_;
  const int local_;  // processes of the job on this machine
  MpiShare share_;
};

// The text is the one the leader read, inflated when it was compressed: the
// others take it as read, so that every process loads the same bytes.
Status MpiGroup::ShareText(Data& data, const Status& read) {
  const Status s = BroadcastStatus(read, kLeader);
  if (!s.ok()) return s;
  long long size = Leads() ? static_cast<long long>(data.Text().size()) : 0;
  Broadcast(&size, 1, MPI_LONG_LONG, kLeader);
  if (Leads()) {
    char* text = const_cast<char*>(data.Text().data());
    for (size_t at = 0; at < size_t(size); at += kPiece) {
      BroadcastPiece(text + at, std::min(kPiece, size_t(size) - at));
    }
  } else if (!ReceiveText(data, size_t(size))) {
    return Status::OutOfMemory("no memory for the dataset's text from the first process");
  }
  return s;
}

bool MpiGroup::ReceiveText(Data& data, size_t size) {
  std::vector<char> text;
  bool room = true;
  try {
    text.resize(size);
  } catch (const std::bad_alloc&) {
    room = false;
    text.resize(std::min(size, kPiece));  // the pieces land here and are dropped
  }
  for (size_t at = 0; at < size; at += kPiece) {
    BroadcastPiece(text.data() + (room ? at : 0), std::min(kPiece, size - at));
  }
  if (room) data.ReplaceText(std::move(text));
  return room;
}

Status MpiGroup::Agree(const Status& mine) {
  int code = mine.code();
  std::vector<int> codes(static_cast<size_t>(ranks_));
  MPI_Request request;
  MPI_Iallgather(&code, 1, MPI_INT, codes.data(), 1, MPI_INT, MPI_COMM_WORLD, &request);
  Await(&request);
  const auto failed = std::find_if(codes.begin(), codes.end(), [](int c) { return c != Status::kOk; });
  if (failed == codes.end()) return Status::OK();
  return BroadcastStatus(mine, static_cast<int>(failed - codes.begin()));
}

std::string MpiGroup::ShareOutputPath(const std::string& temporary) {
  long long size = Leads() ? static_cast<long long>(temporary.size()) : 0;
  Broadcast(&size, 1, MPI_LONG_LONG, kLeader);
  std::string path = Leads() ? temporary : std::string(size_t(size), '\0');
  if (size > 0) Broadcast(path.data(), static_cast<int>(size), MPI_CHAR, kLeader);
  return path;
}

Status MpiGroup::MineKept(const Database& db, const Options& options, RunMonitor& watched,
                          WeighedSink& weighed) {
  share_.KeepPairs();
  Start();
  const Status mined = OnLargeStack([&] {
    return GuardMemory([&] { return MineHere(db, options, weighed, &watched, &share_); });
  });
  Finish(mined);
  return Agree(mined);
}

// The pairs of every process, each in the block that holds it, written
// into the file at path: each process mines into a store of its own, the
// blocks are cut where the pairs weigh equal shares, and the pairs go to
// their blocks.
Status MpiGroup::MineAndWriteTogether(const Database& db, const Options& options,
                                      RunMonitor* monitor, size_t residentlimit,
                                      const std::string& path, long long* pairs, int* lines) {
  const Database::Rep& rep = db.rep();
  std::optional<ResultShards> local;
  std::optional<WeighedSink> weighed;
  Status s = GuardMemory([&] {
    local.emplace(rep.itemnum, kShardsPerThread * RunThreads(options),
                  ResultShards::Arrival::kAnyOrder);
    weighed.emplace(*local, rep.itemnum);
    return Status::OK();
  });
  s = Agree(s);
  // The memory watch covers the mining and the exchange, whose stores grow.
  RunMonitor own;
  RunMonitor& watched = monitor ? *monitor : own;
  const ResidentLimit watch(residentlimit, watched);
  if (s.ok()) s = MineKept(db, options, watched, *weighed);
  if (!s.ok()) return s;
  long long found = weighed->pairs();
  MPI_Allreduce(&found, pairs, 1, MPI_LONG_LONG, MPI_SUM, MPI_COMM_WORLD);
  std::vector<long long> weights = weighed->weights();
  MPI_Allreduce(MPI_IN_PLACE, weights.data(), static_cast<int>(weights.size()), MPI_LONG_LONG,
                MPI_SUM, MPI_COMM_WORLD);
  const std::vector<int> bounds = BlockBounds(weights, ranks_);
  weights = {};
  ResultStore owned;
  const int longest = 2 + rep.tidnum + rep.itemnum;
  s = Agree(OnLargeStack(
      [&] { return ExchangeBlocks(*local, bounds, rank_, ranks_, longest, watched, owned); }));
  local.reset();
  if (!s.ok()) return s;
  return WriteBlock(db, options, owned, path, lines);
}

Status MpiGroup::WriteBlock(const Database& db, const Options& options, ResultStore& owned,
                            const std::string& path, int* lines) {
  const Database::Rep& rep = db.rep();
  std::optional<ResultWriter> writer;
  BlockSize size;
  Status s = OnLargeStack([&] {
    return GuardMemory([&] {
      writer.emplace(owned, false);
      if (rep.undirected()) writer->PruneWhere(ExactSearchMirrorDrop(db, options));
      size = SizeOfLines(*writer, rep);
      return Status::OK();
    });
  });
  s = Agree(s);
  if (!s.ok()) return s;
  long long offset = 0, total[2] = {0, 0};
  const long long mine[2] = {size.lines, size.bytes};
  MPI_Exscan(&size.bytes, &offset, 1, MPI_LONG_LONG, MPI_SUM, MPI_COMM_WORLD);
  if (Leads()) offset = 0;  // MPI_Exscan leaves the first process's undefined
  MPI_Allreduce(mine, total, 2, MPI_LONG_LONG, MPI_SUM, MPI_COMM_WORLD);
  s = Agree(OnLargeStack([&] { return WriteBlockAt(*writer, rep, size, path, offset, rank_); }));
  if (s.ok()) *lines = static_cast<int>(std::min<long long>(total[0], INT_MAX));
  return s;
}

// The other processes than the leader write nothing: their standard output
// and error go to /dev/null.
void Silence() {
  const int null = open("/dev/null", O_WRONLY);
  if (null < 0) return;
  dup2(null, STDOUT_FILENO);
  dup2(null, STDERR_FILENO);
  close(null);
}

}  // namespace
}  // namespace quasibiclique

int RunMpiMiner(int argc, char** argv) {
  using namespace quasibiclique;
  int provided = 0;
  MPI_Init_thread(&argc, &argv, MPI_THREAD_SERIALIZED, &provided);
  int rank = 0, ranks = 1;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &ranks);
  if (rank != kLeader) Silence();
  int status;
  if (provided < MPI_THREAD_SERIALIZED) {
    status = ReportFailure(Status::InvalidArgument(
        "the MPI library does not let threads take turns (MPI_THREAD_SERIALIZED)"));
  } else {
    MpiGroup group(rank, ranks);
    status = RunMinerInGroup(argc, argv, &group);
  }
  MPI_Finalize();
  return status;
}

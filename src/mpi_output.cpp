// The blocks of the output between the processes of an MPI job: the
// exchange of the pairs, each process to every other, and the write of a
// block at its offset. Called on the thread that mines, once the share's
// talker has ended (MPI_THREAD_SERIALIZED).
#include "mpi_output.h"

#include <mpi.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <list>
#include <optional>
#include <string>
#include <thread>

#include "memory_status.h"
#include "miner.h"
#include "result_writer.h"
#include "text_filter.h"

namespace quasibiclique {

std::vector<long long> WeighedSink::weights() const {
  std::vector<long long> weights(weights_.size());
  for (size_t i = 0; i < weights.size(); i++) weights[i] = weights_[i].load();
  return weights;
}

namespace {

// Pairs for the receiver's block, as records [ntids, nitems, tids...,
// items...]; an empty message: the sender has sent all of them.
constexpr int kTagBlock = 21;

// Ints of a batch before it is sent, and batches on their way at once: a
// process holds at most kInFlight batches besides the ones it fills.
constexpr size_t kBatchInts = size_t{1} << 16;
constexpr size_t kInFlight = 8;

// How long a process that has nothing to do waits before it looks again:
// the processes of a job may share cores, so it never spins.
constexpr auto kPoll = std::chrono::microseconds(200);

// Routes each pair to the process whose block holds it: its own it stores
// at once, the others' it packs into batches for them; and meanwhile it
// stores what the others send. After a failure to find memory nothing more
// is stored or sent, but every message is still taken and the end still
// sent.
class BlockExchange final : public PairSink {
 public:
  BlockExchange(const std::vector<int>& bounds, int rank, int ranks, int longest,
                const RunMonitor& watch, ResultStore& owned)
      : bounds_(bounds),
        rank_(rank),
        ranks_(ranks),
        watch_(watch),
        owned_(owned),
        batches_(size_t(ranks)),
        ends_(size_t(ranks), MPI_REQUEST_NULL),
        received_(kBatchInts + size_t(longest)) {}

  void Add(const int* tids, int ntids, const int* items, int nitems) override;
  // Sends what is left and the end to every other process, and stores
  // what they send until the end of every one has come. `handed`: how the
  // hand-over of this process's pairs went.
  void Finish(const Status& handed);
  const Status& status() const { return status_; }

 private:
  void Store(const int* tids, int ntids, const int* items, int nitems);
  void Pack(int to, const int* tids, int ntids, const int* items, int nitems);
  void Send(int to);
  bool Progress();
  void Receive(const MPI_Status& probed);

  const std::vector<int>& bounds_;
  const int rank_;
  const int ranks_;
  const RunMonitor& watch_;  // stopped when the process reaches its memory limit
  ResultStore& owned_;
  std::vector<std::vector<int>> batches_;  // per process: the batch being packed
  struct Sending {
    std::vector<int> batch;
    MPI_Request request = MPI_REQUEST_NULL;
  };
  std::list<Sending> sending_;      // batches on their way
  std::vector<MPI_Request> ends_;   // per process: the end sent to it
  std::vector<int> received_;       // room for the longest batch
  int endsreceived_ = 0;
  Status status_;
};

void BlockExchange::Add(const int* tids, int ntids, const int* items, int nitems) {
  if (!status_.ok()) return;
  const int to = BlockOf(bounds_, items[0]);
  if (to == rank_) {
    Store(tids, ntids, items, nitems);
    return;
  }
  status_ = GuardMemory([&] {
    Pack(to, tids, ntids, items, nitems);
    return Status::OK();
  });
}

void BlockExchange::Store(const int* tids, int ntids, const int* items, int nitems) {
  if (!status_.ok()) return;
  if (watch_.stopped()) {
    status_ = Status::OutOfMemory("the run's memory reached its limit");
    return;
  }
  status_ = GuardMemory([&] {
    owned_.Add(tids, ntids, items, nitems);
    return Status::OK();
  });
}

void BlockExchange::Pack(int to, const int* tids, int ntids, const int* items, int nitems) {
  std::vector<int>& batch = batches_[size_t(to)];
  batch.push_back(ntids);
  batch.push_back(nitems);
  batch.insert(batch.end(), tids, tids + ntids);
  batch.insert(batch.end(), items, items + nitems);
  if (batch.size() >= kBatchInts) Send(to);
}

// Sends the batch of process `to`; while too many are on their way, takes
// part in the exchange until some have arrived.
void BlockExchange::Send(int to) {
  sending_.emplace_back();
  Sending& sent = sending_.back();
  sent.batch.swap(batches_[size_t(to)]);
  MPI_Isend(sent.batch.data(), static_cast<int>(sent.batch.size()), MPI_INT, to, kTagBlock,
            MPI_COMM_WORLD, &sent.request);
  while (sending_.size() > kInFlight) {
    if (!Progress()) std::this_thread::sleep_for(kPoll);
  }
}

// Lets go of the batches that have arrived and stores every batch that
// waits. Returns whether anything happened.
bool BlockExchange::Progress() {
  bool moved = false;
  for (auto at = sending_.begin(); at != sending_.end();) {
    int done = 0;
    MPI_Test(&at->request, &done, MPI_STATUS_IGNORE);
    if (!done) {
      ++at;
      continue;
    }
    at = sending_.erase(at);
    moved = true;
  }
  for (;;) {
    int waiting = 0;
    MPI_Status probed;
    MPI_Iprobe(MPI_ANY_SOURCE, kTagBlock, MPI_COMM_WORLD, &waiting, &probed);
    if (!waiting) return moved;
    Receive(probed);
    moved = true;
  }
}

void BlockExchange::Receive(const MPI_Status& probed) {
  int count = 0;
  MPI_Get_count(&probed, MPI_INT, &count);
  MPI_Recv(received_.data(), count, MPI_INT, probed.MPI_SOURCE, kTagBlock, MPI_COMM_WORLD,
           MPI_STATUS_IGNORE);
  if (count == 0) {
    endsreceived_++;
    return;
  }
  for (const int* record = received_.data(); record < received_.data() + count;
       record += 2 + record[0] + record[1]) {
    Store(record + 2, record[0], record + 2 + record[0], record[1]);
  }
}

void BlockExchange::Finish(const Status& handed) {
  if (status_.ok()) status_ = handed;
  for (int to = 0; to < ranks_; to++) {
    if (to == rank_) continue;
    if (status_.ok() && !batches_[size_t(to)].empty()) {
      status_ = GuardMemory([&] {
        Send(to);
        return Status::OK();
      });
    }
    MPI_Isend(nullptr, 0, MPI_INT, to, kTagBlock, MPI_COMM_WORLD, &ends_[size_t(to)]);
  }
  for (;;) {
    int endsarrived = 0;
    MPI_Testall(ranks_, ends_.data(), &endsarrived, MPI_STATUSES_IGNORE);
    const bool moved = Progress();
    if (endsarrived && sending_.empty() && endsreceived_ == ranks_ - 1) return;
    if (!moved) std::this_thread::sleep_for(kPoll);
  }
}

}  // namespace

Status ExchangeBlocks(ResultShards& local, const std::vector<int>& bounds, int rank, int ranks,
                      int longest, const RunMonitor& watch, ResultStore& owned) {
  std::optional<BlockExchange> exchange;
  const Status ready = GuardMemory([&] {
    exchange.emplace(bounds, rank, ranks, longest, watch, owned);
    return Status::OK();
  });
  // Every process takes part, or none does.
  int ok = ready.ok(), allok = 0;
  MPI_Allreduce(&ok, &allok, 1, MPI_INT, MPI_MIN, MPI_COMM_WORLD);
  if (!allok) return ready;
  const Status handed = GuardMemory([&] {
    local.HandOverInOrder(*exchange);
    return Status::OK();
  });
  exchange->Finish(handed);
  return exchange->status();
}

namespace {

// Bytes one MPI write takes: within its int count.
constexpr size_t kMaxWrite = size_t{1} << 30;

// The errno that an MPI-IO failure `code` stands for: the class where one
// names it, else what the system said on the way (saved), else EIO.
int ErrnoOf(int code, int saved) {
  int kind = 0;
  MPI_Error_class(code, &kind);
  if (kind == MPI_ERR_NO_SPACE) return ENOSPC;
  if (kind == MPI_ERR_QUOTA) return EDQUOT;
  if (kind == MPI_ERR_ACCESS) return EACCES;
  if (kind == MPI_ERR_READ_ONLY) return EROFS;
  if (kind == MPI_ERR_NO_SUCH_FILE) return ENOENT;
  return saved ? saved : EIO;
}

// The block's place in the file, as the stream a writer writes to.
struct BlockFile {
  MPI_File file;
  long long at;  // where the next bytes go
};

ssize_t WriteToBlock(void* cookie, const char* text, size_t size) {
  BlockFile& block = *static_cast<BlockFile*>(cookie);
  for (size_t done = 0; done < size;) {
    const int n = static_cast<int>(std::min(size - done, kMaxWrite));
    MPI_Status status;
    errno = 0;
    const int code = MPI_File_write_at(block.file, block.at, text + done, n, MPI_CHAR, &status);
    const int saved = errno;
    int count = 0;
    if (code == MPI_SUCCESS) MPI_Get_count(&status, MPI_CHAR, &count);
    if (code != MPI_SUCCESS || count <= 0) {
      errno = code != MPI_SUCCESS ? ErrnoOf(code, saved) : (saved ? saved : EIO);
      return 0;  // no bytes taken: a negative count would be read as a huge one
    }
    block.at += count;
    done += size_t(count);
  }
  return static_cast<ssize_t>(size);
}

// The writer's lines into out, through the labels when the dataset has
// them. Returns 0 or the errno of the first failed write.
int WriteLines(ResultWriter& writer, const Database::Rep& rep, std::FILE* out) {
  const int* tidoldid = rep.tidoldid.data();
  const int* itemoldid = rep.itemoldid.data();
  if (rep.tidlabels.empty() && rep.itemlabels.empty()) {
    return writer.WriteText(out, tidoldid, rep.tidnum, itemoldid, rep.itemnum);
  }
  TextFilter filter(out, -1, LabelsOf(rep.tidlabels), LabelsOf(rep.itemlabels));
  if (!filter.file()) return errno ? errno : EIO;
  const int error = writer.WriteText(filter.file(), tidoldid, rep.tidnum, itemoldid, rep.itemnum);
  const int closing = filter.Close();
  return error ? error : closing;
}

// The lines of writer written through block.
Status WriteThrough(ResultWriter& writer, const Database::Rep& rep, BlockFile& block) {
  std::FILE* out = fopencookie(&block, "w", cookie_io_functions_t{nullptr, WriteToBlock, nullptr,
                                                                  nullptr});
  if (!out) return Status::IOError(strerror(errno));
  int error = WriteLines(writer, rep, out);
  if (fclose(out) != 0 && !error) error = errno ? errno : EIO;
  return error ? Status::IOError(strerror(error)) : Status::OK();
}

}  // namespace

Status WriteBlockAt(ResultWriter& writer, const Database::Rep& rep, const BlockSize& size,
                    const std::string& path, long long offset, int rank) {
  if (size.lines == 0) return Status::OK();
  MPI_File file;
  errno = 0;
  int code = MPI_File_open(MPI_COMM_SELF, path.c_str(), MPI_MODE_WRONLY, MPI_INFO_NULL, &file);
  if (code != MPI_SUCCESS) {
    return Status::IOError("process " + std::to_string(rank) +
                           " of the job cannot open the temporary file " + path + " (" +
                           strerror(ErrnoOf(code, errno)) +
                           "); every process must see the output's directory");
  }
  BlockFile block{file, offset};
  Status s = GuardMemory([&] { return WriteThrough(writer, rep, block); });
  if (s.ok() && block.at - offset != size.bytes) {
    s = Status::IOError("process " + std::to_string(rank) + " wrote " +
                        std::to_string(block.at - offset) + " bytes of its lines, not the " +
                        std::to_string(size.bytes) + " it had counted");
  }
  errno = 0;
  if (s.ok() && (code = MPI_File_sync(file)) != MPI_SUCCESS) {
    s = Status::IOError(strerror(ErrnoOf(code, errno)));
  }
  errno = 0;
  if ((code = MPI_File_close(&file)) != MPI_SUCCESS && s.ok()) {
    s = Status::IOError(strerror(ErrnoOf(code, errno)));
  }
  return s;
}

}  // namespace quasibiclique

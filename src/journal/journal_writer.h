#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "journal/journal_row.h"

namespace lan2com {

class JournalStore;

// A bounded hand-over of rows from any thread to the writer. push() never waits for the writer
// beyond a swap of two vectors, and never grows the queue beyond its capacity: a row that finds
// it full is counted as lost.
class JournalQueue {
  public:
    explicit JournalQueue(std::size_t capacity);
    // False when the queue was full (the row is counted as lost). `first` (when given) tells
    // whether the queue was empty before: the writer has to be woken.
    bool push(JournalRow&& row, bool* first = nullptr) noexcept;
    // Everything queued so far, oldest first, in place of `into`'s content.
    void takeAll(std::vector<JournalRow>& into);
    // Rows lost since the last call.
    std::uint64_t takeLost();
    std::size_t capacity() const { return capacity_; }

  private:
    const std::size_t capacity_;
    std::mutex mutex_;
    std::vector<JournalRow> rows_;
    std::uint64_t lost_ = 0;
};

struct JournalWriterOptions {
    std::string path;
    std::size_t capacity = 65536;  // rows waiting for the writer
    int batchMs = 200;             // rows are committed at most this long after they came
    int retentionDays = 90;        // older rows are removed; 0 keeps every row
    // Called on the writer's thread with a line for the diagnostics log: the journal cannot be
    // written (once per episode), and how many rows were lost when it can write again.
    std::function<void(const std::string&)> notice;
};

// The journal's writer: a thread of its own takes the queued rows and commits them in batches.
// A journal that cannot be written (no file, no room, no rights) costs rows, which are counted
// and reported, never the caller's time.
class JournalWriter : public JournalSink {
  public:
    explicit JournalWriter(JournalWriterOptions options);
    ~JournalWriter() override;  // commits what is queued, then ends
    JournalWriter(const JournalWriter&) = delete;
    JournalWriter& operator=(const JournalWriter&) = delete;

    void record(JournalRow&& row) noexcept override;

    const std::string& path() const { return options_.path; }
    // Rows written and rows lost so far (for tests and figures).
    std::uint64_t written() const { return written_; }
    std::uint64_t lost() const { return lostTotal_; }

  private:
    void run();
    void writeBatch(std::vector<JournalRow>& batch);
    void retentionStep();
    bool ensureOpen();
    void fail(const std::string& why, std::uint64_t rows);

    JournalWriterOptions options_;
    JournalQueue queue_;
    std::unique_ptr<JournalStore> store_;
    const std::int64_t run_;
    std::uint64_t pendingLost_ = 0;  // lost rows not yet recorded in the journal
    bool failing_ = false;           // the present failure has been reported
    bool lossSaid_ = false;          // the present episode of a full queue has been reported
    std::int64_t nextRetentionMs_ = 0;
    std::atomic<std::uint64_t> written_{0};
    std::atomic<std::uint64_t> lostTotal_{0};

    std::mutex wakeMutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    bool rowsWaiting_ = false;  // rows came since the writer last took the queue
    std::thread thread_;
};

}  // namespace lan2com

#include "journal/journal_writer.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <utility>

#include "journal/journal_store.h"

namespace lan2com {
namespace {

// Old rows go in steps this small, between batches, so that no step holds the file for long.
constexpr int kRetentionStepRows = 500;
// How often the retention looks for old rows once none are left.
constexpr std::int64_t kRetentionPeriodMs = 60 * 1000;
constexpr std::int64_t kDayMs = 24LL * 60 * 60 * 1000;

}  // namespace

JournalQueue::JournalQueue(std::size_t capacity) : capacity_(capacity) {
    rows_.reserve(capacity_);
}

bool JournalQueue::push(JournalRow&& row, bool* first) noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    if (first != nullptr) {
        *first = rows_.empty();
    }
    if (rows_.size() >= capacity_) {
        ++lost_;
        return false;
    }
    rows_.push_back(std::move(row));  // reserved: no reallocation
    return true;
}

void JournalQueue::takeAll(std::vector<JournalRow>& into) {
    into.clear();
    if (into.capacity() < capacity_) {
        into.reserve(capacity_);  // the queue keeps its reserve after the swap
    }
    std::lock_guard<std::mutex> lock(mutex_);
    rows_.swap(into);
}

std::uint64_t JournalQueue::takeLost() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(lost_, 0);
}

JournalWriter::JournalWriter(JournalWriterOptions options)
    : options_(std::move(options)), queue_(options_.capacity), run_(utcNowMs()) {
    thread_ = std::thread([this] { run(); });
}

JournalWriter::~JournalWriter() {
    {
        std::lock_guard<std::mutex> lock(wakeMutex_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void JournalWriter::record(JournalRow&& row) noexcept {
    bool first = false;
    queue_.push(std::move(row), &first);
    if (first) {
        {
            std::lock_guard<std::mutex> lock(wakeMutex_);
            rowsWaiting_ = true;
        }
        wake_.notify_one();
    }
}

void JournalWriter::run() {
    std::vector<JournalRow> batch;
    for (;;) {
        bool stopping = false;
        {
            std::unique_lock<std::mutex> lock(wakeMutex_);
            // Asleep while nothing comes: an idle station wakes the writer only for the
            // retention's rounds.
            const auto woken = [this] { return rowsWaiting_ || stop_; };
            if (options_.retentionDays > 0 && store_) {
                const std::int64_t left = std::max<std::int64_t>(nextRetentionMs_ - utcNowMs(), 0);
                wake_.wait_for(lock, std::chrono::milliseconds(left), woken);
            } else {
                wake_.wait(lock, woken);
            }
            if (rowsWaiting_ && !stop_) {
                // What comes within the batch period joins this batch: one commit for all.
                wake_.wait_for(lock, std::chrono::milliseconds(options_.batchMs),
                               [this] { return stop_; });
            }
            rowsWaiting_ = false;
            stopping = stop_;
        }
        queue_.takeAll(batch);
        writeBatch(batch);
        if (stopping) {
            return;
        }
        retentionStep();
    }
}

bool JournalWriter::ensureOpen() {
    if (store_) {
        return true;
    }
    // Tried again with every batch that has rows to write: a journal that comes back loses no
    // more rows than it must.
    try {
        store_ = std::make_unique<JournalStore>(options_.path, JournalStore::Mode::Write);
    } catch (const std::exception& e) {
        fail(e.what(), 0);
        return false;
    }
    return true;
}

void JournalWriter::fail(const std::string& why, std::uint64_t rows) {
    pendingLost_ += rows;
    lostTotal_ += rows;
    if (!failing_) {
        failing_ = true;
        if (options_.notice) {
            options_.notice("Журнал событий не записывается (" + why +
                            "); записи теряются, пока запись невозможна.");
        }
    }
}

void JournalWriter::writeBatch(std::vector<JournalRow>& batch) {
    const std::uint64_t queueLost = queue_.takeLost();
    pendingLost_ += queueLost;
    lostTotal_ += queueLost;
    if (batch.empty() && pendingLost_ == 0) {
        return;
    }
    if (!ensureOpen()) {
        fail("", batch.size());
        return;
    }
    const std::uint64_t lostBefore = pendingLost_;
    if (lostBefore > 0) {
        JournalRow r;
        r.utcMs = utcNowMs();
        r.event = JournalEvent::RowsLost;
        r.count = static_cast<std::int64_t>(lostBefore);
        batch.push_back(std::move(r));
    }
    try {
        store_->append(batch, run_);
    } catch (const std::exception& e) {
        const std::uint64_t rows = batch.size() - (lostBefore > 0 ? 1 : 0);
        // A store that failed once is opened afresh: a file that was replaced or repaired
        // under it is found again.
        store_.reset();
        fail(e.what(), rows);
        return;
    }
    written_ += batch.size();
    pendingLost_ -= lostBefore;
    const bool recovered = std::exchange(failing_, false);
    if (lostBefore > 0) {
        // A queue that overflows batch after batch is said once, not every 200 ms; the journal
        // has the count of every batch.
        if ((recovered || !lossSaid_) && options_.notice) {
            options_.notice("Журнал событий: потеряно записей: " + std::to_string(lostBefore) +
                            ".");
        }
        lossSaid_ = true;
    } else {
        lossSaid_ = false;
        if (recovered && options_.notice) {
            options_.notice("Журнал событий снова записывается.");
        }
    }
}

void JournalWriter::retentionStep() {
    if (options_.retentionDays <= 0 || !store_) {
        return;
    }
    const std::int64_t now = utcNowMs();
    if (now < nextRetentionMs_) {
        return;
    }
    try {
        const int removed =
            store_->removeOlderThan(now - options_.retentionDays * kDayMs, kRetentionStepRows);
        // A full step means more are left: the next one follows with the next batch.
        nextRetentionMs_ = removed == kRetentionStepRows ? now : now + kRetentionPeriodMs;
    } catch (const std::exception&) {
        nextRetentionMs_ = now + kRetentionPeriodMs;  // the next batch reports the trouble
    }
}

}  // namespace lan2com

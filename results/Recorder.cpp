#include "results/Recorder.h"

namespace qd::results {

namespace {
// A batch this long is committed without waiting for the quarter second:
// a fast sweep's rows then go in large transactions, not one huge one.
constexpr std::size_t kLargeBatch = 4096;
} // namespace

Recorder::Recorder(Store& store, std::string run, Writer writer)
    : store_(store), run_(std::move(run)) {
    if (writer == Writer::Thread) {
        writer_ = std::thread([this] { write(); });
    }
}

Recorder::~Recorder() {
    if (!writer_.joinable()) {
        return;
    }
    finish();
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    writer_.join();
}

void Recorder::add(std::int32_t code, std::int32_t frame, const std::vector<double>& values) {
    std::unique_lock lock(mutex_);
    if (!failure_.empty()) {
        return;
    }
    int sample = 0;
    for (const double v : values) {
        pending_.push_back({code, frame, ++sample, v});
    }
    if (!writer_.joinable()) {
        commitPending();
        return;
    }
    if (pending_.size() >= kLargeBatch) {
        lock.unlock();
        wake_.notify_one();
    }
}

void Recorder::commitPending() {
    try {
        store_.add(run_, pending_, sequence_);
        sequence_ += static_cast<std::int64_t>(pending_.size());
    } catch (const std::exception& e) {
        failure_ = e.what();
    }
    pending_.clear();
}

std::string Recorder::finish() {
    std::unique_lock lock(mutex_);
    if (!writer_.joinable()) {
        return failure_; // add() left nothing behind
    }
    flushNow_ = true;
    wake_.notify_one();
    done_.wait(lock, [this] { return (pending_.empty() && !writing_) || !failure_.empty(); });
    return failure_;
}

void Recorder::write() {
    std::unique_lock lock(mutex_);
    while (true) {
        wake_.wait_for(lock, kCommitEvery,
                       [this] { return stopping_ || flushNow_ || pending_.size() >= kLargeBatch; });
        flushNow_ = false;
        if (pending_.empty()) {
            done_.notify_all();
            if (stopping_) {
                return;
            }
            continue;
        }
        std::vector<Reading> batch;
        batch.swap(pending_);
        writing_ = true;
        const std::int64_t first = sequence_;
        sequence_ += static_cast<std::int64_t>(batch.size());
        lock.unlock();
        std::string failure;
        try {
            store_.add(run_, batch, first);
        } catch (const std::exception& e) {
            failure = e.what();
        }
        lock.lock();
        writing_ = false;
        if (!failure.empty()) {
            failure_ = failure;
            pending_.clear();
        }
        done_.notify_all();
    }
}

} // namespace qd::results

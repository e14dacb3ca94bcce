// One job at a time on a thread of its own, so that the render pass can
// resample the next frame while the encoder takes the one before. The
// owner hands a job over with run() and collects it with wait() before
// handing over the next; a job's exception comes back from wait(). With
// `inline` true (PLACIDOR_RENDER_THREADS=1 in the environment, for tests
// comparing the two), run() does the job itself at once: the same work in
// the same order, only on one thread.
#pragma once

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

namespace placidor::host {

class Worker {
public:
    explicit Worker(bool inlineJobs = onlyOneThreadAsked()) : inline_(inlineJobs) {
        if (!inline_) thread_ = std::thread([this] { loop(); });
    }
    // Waits for a job still running (its exception is dropped), then ends
    // the thread.
    ~Worker() {
        {
            std::unique_lock lock(mutex_);
            idle_.wait(lock, [&] { return !busy_; });
            stopping_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable()) thread_.join();
    }
    Worker(const Worker &) = delete;
    Worker &operator=(const Worker &) = delete;

    // Starts `job`; the one before must have been collected with wait().
    void run(std::function<void()> job) {
        if (inline_) {
            try {
                job();
            } catch (...) {
                failure_ = std::current_exception();
            }
            return;
        }
        {
            std::lock_guard lock(mutex_);
            job_ = std::move(job);
            busy_ = true;
        }
        wake_.notify_all();
    }

    // Waits until the job handed over last is done; rethrows its exception.
    void wait() {
        std::unique_lock lock(mutex_);
        idle_.wait(lock, [&] { return !busy_; });
        if (failure_) {
            const std::exception_ptr failure = failure_;
            failure_ = nullptr;
            std::rethrow_exception(failure);
        }
    }

    static bool onlyOneThreadAsked() {
        const char *v = std::getenv("PLACIDOR_RENDER_THREADS");
        return v && std::strcmp(v, "1") == 0;
    }

private:
    void loop() {
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return stopping_ || busy_; });
            if (stopping_) return;
            std::function<void()> job = std::move(job_);
            lock.unlock();
            std::exception_ptr failure;
            try {
                job();
            } catch (...) {
                failure = std::current_exception();
            }
            job = nullptr;  // what it holds goes before the owner hears
            lock.lock();
            failure_ = failure;
            busy_ = false;
            idle_.notify_all();
        }
    }

    bool inline_;
    std::mutex mutex_;
    std::condition_variable wake_, idle_;
    std::function<void()> job_;
    bool busy_ = false, stopping_ = false;
    std::exception_ptr failure_;
    std::thread thread_;
};

}  // namespace placidor::host

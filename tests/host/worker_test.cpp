// The render pass's worker thread (host/output/worker.h): jobs run one at a
// time, in the order handed over, on a thread of their own unless one
// thread is asked for; a job's exception comes back from wait() and leaves
// the worker usable; an owner that leaves (an exception of its own) while
// a job runs waits for it before what the job uses goes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "output/worker.h"

namespace {

using placidor::host::Worker;

TEST(Worker, RunsJobsInOrderOnItsOwnThreadOrInline) {
    for (const bool inlineJobs : {false, true}) {
        Worker worker(inlineJobs);
        std::vector<int> done;
        std::vector<std::thread::id> threads;
        for (int i = 0; i < 20; ++i) {
            worker.run([&, i] {
                done.push_back(i);
                threads.push_back(std::this_thread::get_id());
            });
            worker.wait();
        }
        ASSERT_EQ(done.size(), 20u);
        for (int i = 0; i < 20; ++i) EXPECT_EQ(done[std::size_t(i)], i);
        for (const std::thread::id id : threads)
            EXPECT_EQ(id == std::this_thread::get_id(), inlineJobs) << "inline " << inlineJobs;
    }
}

TEST(Worker, AJobsExceptionComesBackFromWaitAndTheWorkerGoesOn) {
    for (const bool inlineJobs : {false, true}) {
        Worker worker(inlineJobs);
        worker.run([] { throw std::runtime_error("resampling failed"); });
        try {
            worker.wait();
            ADD_FAILURE() << "no exception, inline " << inlineJobs;
        } catch (const std::runtime_error &e) {
            EXPECT_STREQ(e.what(), "resampling failed");
        }
        worker.wait();  // collected once only
        int ran = 0;
        worker.run([&] { ++ran; });
        worker.wait();
        EXPECT_EQ(ran, 1);
    }
}

TEST(Worker, LeavingWhileAJobRunsWaitsForIt) {
    std::atomic<bool> finished{false};
    std::vector<int> used(1000, 1);
    try {
        Worker worker(false);
        worker.run([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            long sum = 0;
            for (int v : used) sum += v;  // still there: the owner waits
            finished = sum == 1000;
        });
        throw std::runtime_error("the encoder failed");
    } catch (const std::runtime_error &) {
    }
    EXPECT_TRUE(finished);
}

TEST(Worker, OneThreadIsAskedForThroughTheEnvironment) {
    ASSERT_EQ(setenv("PLACIDOR_RENDER_THREADS", "1", 1), 0);
    EXPECT_TRUE(Worker::onlyOneThreadAsked());
    ASSERT_EQ(setenv("PLACIDOR_RENDER_THREADS", "2", 1), 0);
    EXPECT_FALSE(Worker::onlyOneThreadAsked());
    ASSERT_EQ(unsetenv("PLACIDOR_RENDER_THREADS"), 0);
    EXPECT_FALSE(Worker::onlyOneThreadAsked());
}

}  // namespace

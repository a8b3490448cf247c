// The PHD2 client against a stand-in event server on localhost: the request
// it sends, and how each way the server answers (or does not) ends the
// dither. The client runs in the GLib main context, as in the program.
#include <arpa/inet.h>
#include <fcntl.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <fstream>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "guider/guider.h"
#include "runner/guide_watch.h"

namespace {

// Listens on 127.0.0.1 at a free port; takes a connection, sends PHD2's
// greeting for a guiding PHD2, reads the request line and answers with
// `replies` (nothing more after them: then it hangs up, or with `silent` it
// waits for the client to go). Some replies stand for more: FLOOD is a
// second of guiding events sent as fast as the client takes them, OVERLONG
// a megabyte without a line break, and HANG_UP ends the connection: the
// next one goes on with the replies after it.
const std::string FLOOD = "<flood>";
const std::string OVERLONG = "<overlong>";
const std::string HANG_UP = "<hang up>";
// From here on, the lines that the test pushes, as it pushes them, until
// DROP (the server hangs up) or the end of the test.
const std::string PUSHED = "<pushed>";
const std::string DROP = "<drop>";
// What PHD2 sends each new client while guiding, and the watch's names
// for it.
const std::string GREETING =
    "{\"Event\":\"Version\",\"PHDVersion\":\"2.6.13\",\"PHDSubver\":\"dev8\",\"MsgVersion\":1}\r\n"
    "{\"Event\":\"LockPositionSet\",\"X\":642.104,\"Y\":378.812}\r\n"
    "{\"Event\":\"StarSelected\",\"X\":642.104,\"Y\":378.812}\r\n"
    "{\"Event\":\"CalibrationComplete\",\"Mount\":\"On Camera\"}\r\n"
    "{\"Event\":\"StartGuiding\"}\r\n"
    "{\"Event\":\"AppState\",\"State\":\"Guiding\"}\r\n";
const std::vector<std::string> GREETED = {"Version",      "LockPositionSet", "StarSelected", "CalibrationComplete",
                                          "StartGuiding", "AppState"};

// A socket listening on 127.0.0.1 at a free port (in `address`), with
// room for `backlog` connections not yet taken.
int ListenOnLoopback(int backlog, sockaddr_in& address)
{
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    address = sockaddr_in{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    listen(listener, backlog);
    return listener;
}

class FakePhd2 {
public:
    // `request`: a dither's connection, which sends a request first (a
    // watch sends nothing); without `greet`, the replies are all it sends.
    FakePhd2(std::vector<std::string> replies, bool silent, bool request = true, bool greet = true)
        : replies_(std::move(replies))
        , silent_(silent)
        , awaitRequest_(request)
        , greet_(greet)
    {
        sockaddr_in address{};
        listener_ = ListenOnLoopback(1, address);
        port = ntohs(address.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }

    ~FakePhd2()
    {
        Push(DROP);
        shutdown(listener_, SHUT_RDWR);
        thread_.join();
        close(listener_);
    }

    uint16_t port = 0;
    std::string request;  // the client's line, CR LF included

    // What the client has sent on a watched connection, as the server had
    // it when it last sent a pushed line.
    std::string Received()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_;
    }

    void Push(const std::string& line)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pushed_.push_back(line);
        changed_.notify_all();
    }

private:
    void Serve()
    {
        do
            ServeOne();
        while (next_ < replies_.size());
    }

    void ServeOne()
    {
        const int client = accept(listener_, nullptr, nullptr);
        if (client < 0) {
            next_ = replies_.size();
            return;
        }
        if (greet_)
            Send(client, GREETING);
        char c = 0;
        while (awaitRequest_ && request.find('\n') == std::string::npos && read(client, &c, 1) == 1)
            request += c;
        while (next_ < replies_.size()) {
            const std::string& reply = replies_[next_++];
            if (reply == HANG_UP) {
                close(client);
                return;
            } else if (reply == FLOOD) {
                std::string lines;
                for (int i = 0; i < 100; ++i)
                    lines += "{\"Event\":\"GuideStep\",\"Frame\":12,\"dx\":0.4,\"dy\":-0.2}\r\n";
                const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
                while (std::chrono::steady_clock::now() < end && Send(client, lines)) { }
            } else if (reply == OVERLONG) {
                Send(client, std::string(1 << 20, 'x'));
            } else if (reply == PUSHED) {
                for (;;) {
                    std::unique_lock<std::mutex> lock(mutex_);
                    changed_.wait(lock, [this] { return !pushed_.empty(); });
                    const std::string line = pushed_.front();
                    pushed_.pop_front();
                    char chunk[256];
                    for (ssize_t count; (count = recv(client, chunk, sizeof chunk, MSG_DONTWAIT)) > 0;)
                        received_.append(chunk, static_cast<size_t>(count));
                    lock.unlock();
                    if (line == DROP)
                        break;
                    Send(client, line + "\r\n");
                }
            } else {
                Send(client, reply + "\r\n");
            }
        }
        if (silent_)
            while (read(client, &c, 1) == 1) { }
        close(client);
    }

    // False once the client has gone (it may leave mid-flood).
    static bool Send(int fd, const std::string& text)
    {
        for (size_t sent = 0; sent < text.size();) {
            const ssize_t count = send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
            if (count <= 0)
                return false;
            sent += static_cast<size_t>(count);
        }
        return true;
    }

    std::vector<std::string> replies_;
    bool silent_;
    bool awaitRequest_;
    bool greet_;
    size_t next_ = 0;  // the reply to send next
    std::string received_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::string> pushed_;
    int listener_ = -1;
    std::thread thread_;
};

// A window's frame clock: every 20 ms it asks for a redraw, done at the
// toolkit's redraw priority (GDK_PRIORITY_REDRAW).
struct Redraws {
    int done = 0;
    bool asked = false;

    static gboolean OnFrame(gpointer data)
    {
        auto* redraws = static_cast<Redraws*>(data);
        if (!redraws->asked) {
            redraws->asked = true;
            g_idle_add_full(G_PRIORITY_HIGH_IDLE + 20, &Redraws::OnRedraw, redraws, nullptr);
        }
        return G_SOURCE_CONTINUE;
    }
    static gboolean OnRedraw(gpointer data)
    {
        auto* redraws = static_cast<Redraws*>(data);
        redraws->asked = false;
        ++redraws->done;
        return G_SOURCE_REMOVE;
    }
};

// Runs the main context until the dither ends: "settled", or "failed: "
// and the reason. Meanwhile a window's redraw is asked for every 20 ms, at
// the toolkit's redraw priority; `paints` counts those that were done.
std::string DitherAgainst(uint16_t port, int32_t giveUpMs = 2000, int* paints = nullptr)
{
    auto guider = MakePhd2Guider("localhost", port);
    DitherRequest request;
    request.pixels = 3;
    request.settleSeconds = 10;
    request.settleTimeoutSeconds = 70;
    request.giveUpMs = giveUpMs;
    std::string result;
    guider->Dither(request, [&result](const DitherOutcome& outcome) {
        result = outcome.settled ? "settled" : "failed: " + outcome.reason;
    });
    Redraws redraws;
    const guint frameClock = g_timeout_add(20, &Redraws::OnFrame, &redraws);
    while (result.empty())
        g_main_context_iteration(nullptr, TRUE);
    g_source_remove(frameClock);
    while (redraws.asked)  // the last redraw's source goes before `redraws` does
        g_main_context_iteration(nullptr, TRUE);
    if (paints)
        *paints = redraws.done;
    return result;
}

const std::string ANSWER = "{\"jsonrpc\":\"2.0\",\"result\":0,\"id\":1}";
const std::string SETTLE_BEGIN = "{\"Event\":\"SettleBegin\"}";
const std::string SETTLING = "{\"Event\":\"Settling\",\"Distance\":2.31,\"Time\":1.0,\"SettleTime\":10.0}";
const std::string GUIDE_STEP = "{\"Event\":\"GuideStep\",\"Frame\":12,\"dx\":0.4,\"dy\":-0.2}";
const std::string SETTLED = "{\"Event\":\"SettleDone\",\"Status\":0,\"TotalFrames\":9,\"DroppedFrames\":0}";

TEST(Phd2Guider, EachAnswerEndsTheDither)
{
    struct Row {
        const char* name;
        std::vector<std::string> replies;
        bool silent;
        std::string outcome;
        int32_t giveUpMs = 5000;  // far beyond any answer on a slow machine
    };
    const Row rows[] = {
        {"settles", {ANSWER, SETTLE_BEGIN, SETTLING, GUIDE_STEP, SETTLED}, true, "settled"},
        {"a stale SettleDone before the answer is not ours",
         {"{\"Event\":\"SettleDone\",\"Status\":1,\"Error\":\"an earlier dither\"}", ANSWER, SETTLING, SETTLED},
         true,
         "settled"},
        {"malformed lines are skipped; a SettleDone without a numeric Status fails",
         {"not json", "[1,2]", "{\"Event\":5}", "{\"Event\":null,\"id\":\"x\"}", "{\"id\":{}}", ANSWER,
          "{\"Event\":\"SettleDone\",\"Status\":\"0\"}", SETTLED},
         true,
         "failed: settling failed"},
        {"not guiding: an error answer, in PHD2's words",
         {"{\"jsonrpc\":\"2.0\",\"error\":{\"code\":1,\"message\":\"Dither error\"},\"id\":1}"},
         true,
         "failed: Dither error"},
        {"settling fails, with PHD2's reason",
         {ANSWER, SETTLE_BEGIN,
          "{\"Event\":\"SettleDone\",\"Status\":1,\"Error\":\"timed-out waiting for guider to "
          "settle\",\"TotalFrames\":70,\"DroppedFrames\":0}"},
         true,
         "failed: timed-out waiting for guider to settle"},
        {"the answer, then nothing", {ANSWER, SETTLE_BEGIN}, true, "failed: the guider did not finish settling", 300},
        {"the connection dropped", {ANSWER}, false, "failed: the guider closed the connection"},
        {"a megabyte without a line break", {ANSWER, OVERLONG}, true, "failed: guider sent an over-long line"},
        {"connected, never an answer: 5 s, not the settling time",
         {},
         true,
         "failed: no answer from the guider",
         60000},
        // However long the client takes to read a second's flood (an
        // emulated arm64 takes several).
        {"a flood of events, then settled", {ANSWER, FLOOD, SETTLED}, true, "settled", 60000},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakePhd2 server(row.replies, row.silent);
        int paints = 0;
        EXPECT_EQ(DitherAgainst(server.port, row.giveUpMs, &paints), row.outcome);
        EXPECT_EQ(server.request,
                  "{\"method\":\"dither\",\"params\":{\"amount\":3,\"raOnly\":false,\"settle\":{"
                  "\"pixels\":1.5,\"time\":10,\"timeout\":70}},\"id\":1}\r\n");
        // A second of flood: the window was redrawn all along (every 20
        // ms when nothing else is going on).
        if (row.replies.size() > 1 && row.replies[1] == FLOOD) {
            EXPECT_GE(paints, 10);
        }
    }
}

// The watch: every event handed on with what a run reads of it ("GuideStep
// 0.3 -0.4", "AppState Guiding"), over one connection; whatever the server
// sends, the watch ends with ConnectionLost at worst, and a redraw goes on.
TEST(Phd2Guider, WatchHandsOnEveryEvent)
{
    struct Row {
        const char* name;
        std::vector<std::string> replies;
        bool silent;
        std::vector<std::string> events;  // after the greeting
    };
    const std::string lost = "ConnectionLost";
    const Row rows[] = {
        {"events, in order",
         {"{\"Event\":\"GuideStep\",\"Frame\":3,\"RADistanceRaw\":0.3,\"DECDistanceRaw\":-0.4}",
          "{\"Event\":\"StarLost\",\"Frame\":4}", "{\"Event\":\"Paused\"}", "{\"Event\":\"Resumed\"}",
          "{\"Event\":\"GuideStep\",\"RADistanceRaw\":1,\"DECDistanceRaw\":2}"},
         true,
         {"GuideStep 0.3 -0.4", "StarLost", "Paused", "Resumed", "GuideStep 1 2"}},
        {"not JSON, not an object, no event name, numbers that are not numbers: skipped or read as 0",
         {"not json", "[1,2]", "{\"Event\":5}", "{\"id\":1}",
          "{\"Event\":\"GuideStep\",\"RADistanceRaw\":\"x\",\"DECDistanceRaw\":null}", "{\"Event\":\"StarLost\"}"},
         true,
         {"GuideStep 0 0", "StarLost"}},
        {"the connection dropped", {"{\"Event\":\"Paused\"}"}, false, {"Paused", lost}},
        {"a megabyte without a line break", {"{\"Event\":\"Paused\"}", OVERLONG}, true, {"Paused", lost}},
        {"a line just within the limit (64 KiB)",
         {"{\"Event\":\"Paused\",\"Pad\":\"" + std::string(65000, 'x') + "\"}"},
         true,
         {"Paused"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakePhd2 server(row.replies, row.silent, false);
        auto guider = MakePhd2Guider("localhost", server.port);
        std::vector<std::string> events;
        guider->Watch([&events](const GuideEvent& event) {
            char text[96];
            const bool state = event.kind == GuideEventKind::APP_STATE;
            std::snprintf(text, sizeof text, "%s%s%s", GuideEventName(event.kind), state ? " " : "",
                          state ? GuiderStateName(event.state) : "");
            std::string shown = text;
            if (event.kind == GuideEventKind::GUIDE_STEP) {
                std::snprintf(text, sizeof text, " %g %g", event.raDistanceRaw, event.decDistanceRaw);
                shown += text;
            }
            events.push_back(shown);
        });
        std::vector<std::string> expected = GREETED;
        expected.back() += " Guiding";
        expected.insert(expected.end(), row.events.begin(), row.events.end());
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (events.size() < expected.size() && std::chrono::steady_clock::now() < end)
            g_main_context_iteration(nullptr, FALSE);
        EXPECT_EQ(events, expected);
        guider->Unwatch();
    }
}

// Runs the main context until `events` holds `count` (at most `seconds`).
void AwaitCount(const std::vector<std::string>& events, size_t count, int seconds = 5)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (events.size() < count && std::chrono::steady_clock::now() < end)
        g_main_context_iteration(nullptr, FALSE);
    ASSERT_EQ(events.size(), count);
}

// A dropped watch is looked for again by itself (PHD2 restarted).
TEST(Phd2Guider, ADroppedWatchIsLookedForAgain)
{
    FakePhd2 server({"{\"Event\":\"Paused\"}", HANG_UP, "{\"Event\":\"Resumed\"}"}, false, false);
    auto guider = MakePhd2Guider("localhost", server.port, 50);
    std::vector<std::string> events;
    guider->Watch([&events](const GuideEvent& event) { events.push_back(GuideEventName(event.kind)); });
    std::vector<std::string> expected = GREETED;
    expected.insert(expected.end(), {"Paused", "ConnectionLost"});
    expected.insert(expected.end(), GREETED.begin(), GREETED.end());
    expected.insert(expected.end(), {"Resumed", "ConnectionLost"});
    AwaitCount(events, expected.size());
    EXPECT_EQ(events, expected);
}

// While the guider is watched, a dither goes on the same connection (the
// stand-in serves only one), with the next request id, and its events go to
// the watch too.
TEST(Phd2Guider, ADitherWhileWatchedUsesTheWatchedConnection)
{
    const std::string answer = "{\"jsonrpc\":\"2.0\",\"result\":0,\"id\":2}";
    FakePhd2 server({ANSWER, answer, SETTLE_BEGIN, SETTLED}, true);
    auto guider = MakePhd2Guider("localhost", server.port);
    std::vector<std::string> events;
    guider->Watch([&events](const GuideEvent& event) { events.push_back(GuideEventName(event.kind)); });
    std::string result;
    guider->Dither(DitherRequest(), [&result](const DitherOutcome& outcome) {
        result = outcome.settled ? "settled" : "failed: " + outcome.reason;
    });
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (result.empty() && std::chrono::steady_clock::now() < end)
        g_main_context_iteration(nullptr, FALSE);
    EXPECT_EQ(result, "settled");  // the answer to id 1 was not taken for it
    EXPECT_NE(server.request.find("\"id\":2}"), std::string::npos) << server.request;
    std::vector<std::string> expected = GREETED;
    expected.insert(expected.end(), {"SettleBegin", "SettleDone"});
    EXPECT_EQ(events, expected);
    guider->Unwatch();
}

// The guider's accept queue full (a guide computer booting): the watch's
// connection waits, and a dither given up on meanwhile must not go out when
// it is made.
TEST(Phd2Guider, ARequestGivenUpOnIsNeverSent)
{
    sockaddr_in address{};
    const int listener = ListenOnLoopback(0, address);
    const int filler = socket(AF_INET, SOCK_STREAM, 0);  // the queue's one place
    ASSERT_EQ(connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    auto guider = MakePhd2Guider("localhost", ntohs(address.sin_port));
    guider->Watch([](const GuideEvent&) {});
    guider->Dither(DitherRequest(), [](const DitherOutcome&) {});
    guider->Cancel();
    close(accept(listener, nullptr, nullptr));
    close(filler);
    fcntl(listener, F_SETFL, O_NONBLOCK);
    // The client tries again within a few seconds (its SYN is sent again).
    int watch = -1;
    std::string received;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(8);
    auto quiet = end;
    while (std::chrono::steady_clock::now() < std::min(end, quiet)) {
        g_main_context_iteration(nullptr, FALSE);
        if (watch < 0 && (watch = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK)) >= 0)
            quiet = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
        char chunk[256];
        const ssize_t count = watch >= 0 ? read(watch, chunk, sizeof chunk) : 0;
        if (count > 0)
            received.append(chunk, static_cast<size_t>(count));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_GE(watch, 0) << "the watch never connected";
    EXPECT_EQ(received, "");
    guider->Unwatch();
    close(watch);
    close(listener);
}

// An Abort leaves PHD2 settling; PHD2 would refuse another dither until
// that settle is over, so the next one is sent only at its SettleDone.
TEST(Phd2Guider, ADitherWaitsForTheSettleOfOneGivenUpOn)
{
    FakePhd2 server({PUSHED}, false, false);
    auto guider = MakePhd2Guider("localhost", server.port);
    std::vector<std::string> events;
    guider->Watch([&events](const GuideEvent& event) { events.push_back(GuideEventName(event.kind)); });
    std::string result;
    const auto dither = [&guider, &result] {
        guider->Dither(DitherRequest(), [&result](const DitherOutcome& outcome) {
            result = outcome.settled ? "settled" : "failed: " + outcome.reason;
        });
    };
    const auto push = [&server, &events](const std::vector<std::string>& lines) {
        for (const std::string& line : lines)
            server.Push(line);
        AwaitCount(events, events.size() + std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
                               return line.find("\"Event\"") != std::string::npos;  // an answer is none
                           }));
    };
    AwaitCount(events, GREETED.size());
    dither();
    push({"{\"jsonrpc\":\"2.0\",\"result\":0,\"id\":2}", SETTLE_BEGIN});
    guider->Cancel();  // Abort
    dither();
    push({GUIDE_STEP});
    EXPECT_EQ(server.Received().find("\"id\":3"), std::string::npos) << "sent while PHD2 settles";
    push({SETTLED, GUIDE_STEP});
    push({"{\"jsonrpc\":\"2.0\",\"result\":0,\"id\":3}", SETTLED});
    EXPECT_EQ(result, "settled");
    EXPECT_NE(server.Received().find("\"id\":3"), std::string::npos);
    guider->Unwatch();
}

// PHD2's own traffic from a night of dithers, pauses, lost stars and five
// restarts, replayed at speed, each connection as one exposure: the RMS of
// its guide steps, and what the watch noted (times left out).
TEST(Phd2Guider, RecordedTrafficReplayed)
{
    std::vector<std::string> replies;
    std::ifstream file(VANTREL_TEST_DATA "/phd2-events-2.6.13.log");
    for (std::string line; std::getline(file, line);) {
        const std::string text = line.substr(line.find(' ') + 1);
        if (text == "RECORDER-DISCONNECTED")
            replies.push_back(HANG_UP);
        else if (text[0] == '{')
            replies.push_back(text);
    }
    ASSERT_EQ(replies.size(), 1677u);
    FakePhd2 server(replies, false, false, false);
    auto guider = MakePhd2Guider("localhost", server.port, 10);
    GuideWatch watch;
    watch.Start();
    int64_t atUs = 0;
    bool exposing = false;
    std::vector<std::string> frames;
    guider->Watch([&](const GuideEvent& event) {
        if (!exposing)
            watch.BeginExposure(atUs, false);
        exposing = true;
        watch.Take(event, atUs += 1000);
        if (event.kind != GuideEventKind::CONNECTION_LOST)
            return;
        const GuideRecord record = watch.EndExposure();
        exposing = false;
        frames.push_back(record.rmsPx + "," + std::regex_replace(record.events, std::regex("@[0-9.]+s"), "") + "," +
                         record.guided);
    });
    AwaitCount(frames, 6, 20);
    EXPECT_EQ(frames,
              (std::vector<std::string>{
                  "0.71,LockPositionLost×5;StarLost×34;SettleBegin×5;Paused;GuidingStopped×3;GuiderLost,suspect",
                  "0.58,LockPositionLost;StarLost;SettleBegin×3;GuidingStopped;GuiderLost,suspect",
                  "0.77,StarLost×60;SettleBegin×4;GuidingStopped×2;LockPositionLost×2;GuiderLost,suspect",
                  "0.68,SettleBegin×7;Paused;GuidingStopped×4;LockPositionLost×7;StarLost×44;GuiderLost,suspect",
                  "0.74,StarLost×49;SettleBegin;GuidingStopped;LockPositionLost;GuiderLost,suspect",
                  "0.75,StarLost×112;SettleBegin×4;GuidingStopped;LockPositionLost;GuiderLost,suspect"}));
    guider->Unwatch();
}

TEST(Phd2Guider, NobodyListeningFailsAndACancelledDitherNeverAnswers)
{
    uint16_t freePort = 0;
    {
        FakePhd2 gone({}, false);  // a port that was free a moment ago
        freePort = gone.port;
        const int client = socket(AF_INET, SOCK_STREAM, 0);  // let the server go
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(freePort);
        connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address);
        close(client);
    }
    EXPECT_EQ(DitherAgainst(freePort), "failed: no guider is listening");

    FakePhd2 server({ANSWER, SETTLE_BEGIN, SETTLED}, true);
    auto guider = MakePhd2Guider("localhost", server.port);
    bool called = false;
    guider->Dither(DitherRequest(), [&called](const DitherOutcome&) { called = true; });
    guider->Cancel();
    bool later = false;
    g_timeout_add(
        300, [](gpointer flag) { return *static_cast<bool*>(flag) = true, G_SOURCE_REMOVE; }, &later);
    while (!later)
        g_main_context_iteration(nullptr, TRUE);
    EXPECT_FALSE(called);
}

}  // namespace

// The engine with the real client against the stand-in server, which plays
// a scripted sequence of events at the engine's virtual times: the wait for
// guiding, a lost star, the retake, a connection dropped mid-run.
#include "tests/engine_fixture.h"

namespace {

// The real guider, counting the events that reach the run.
class CountingGuider : public Guider {
public:
    explicit CountingGuider(uint16_t port)
        : real_(MakePhd2Guider("localhost", port))
    {
    }
    void Dither(const DitherRequest& request, std::function<void(const DitherOutcome&)> done) override
    {
        real_->Dither(request, std::move(done));
    }
    void Cancel() override { real_->Cancel(); }
    void Watch(std::function<void(const GuideEvent&)> onEvent) override
    {
        real_->Watch([this, onEvent](const GuideEvent& event) {
            ++received;
            onEvent(event);
        });
    }
    void Unwatch() override { real_->Unwatch(); }

    // Runs the main context until `count` events have come (at most 5 s).
    void AwaitEvents(int count)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (received < count && std::chrono::steady_clock::now() < end)
            g_main_context_iteration(nullptr, FALSE);
        EXPECT_EQ(received, count);
    }

    int received = 0;

private:
    std::unique_ptr<Guider> real_;
};

using GuideSession = EngineTest;

TEST_F(GuideSession, ScriptedEventsThroughTheRealClient)
{
    FakePhd2 server({"{\"Event\":\"AppState\",\"State\":\"Stopped\"}", PUSHED}, false, false);
    CountingGuider realGuider(server.port);
    SequenceRunner session(*fakes.ports, *clock, realGuider, sleep, log, view);
    session.Connect(PORT_SERIAL, OpenFakePort(fakes, PORT_SERIAL));
    session.WatchGuider(true);
    realGuider.AwaitEvents(7);  // the greeting, then our AppState
    // Each line at its virtual time, the run going on once the client has
    // handed it on.
    const std::pair<int64_t, std::string> script[] = {
        {3000, "{\"Event\":\"StartGuiding\"}"},
        {5000, "{\"Event\":\"GuideStep\",\"RADistanceRaw\":0.3,\"DECDistanceRaw\":0.4}"},
        {6000, "{\"Event\":\"GuideStep\",\"RADistanceRaw\":0,\"DECDistanceRaw\":0}"},
        {7000, "{\"Event\":\"StarLost\",\"Frame\":9,\"Status\":-1}"},
        {8000, "{\"Event\":\"GuideStep\",\"RADistanceRaw\":-0.1,\"DECDistanceRaw\":0.2}"},
        {15000, DROP},
    };
    int events = 7;
    for (const auto& [atMs, line] : script) {
        clock->At(atMs, [&server, &realGuider, line = line, count = ++events] {
            server.Push(line);
            realGuider.AwaitEvents(count);  // the drop arrives as ConnectionLost
        });
    }
    RunSettings settings;
    settings.exposures = 1;
    settings.durationMs = 10000;
    settings.beforeDelayMs = 0;
    settings.afterDelayMs = 0;
    settings.guideWaitSeconds = 60;
    settings.retakeSuspect = 1;
    session.Start(settings);
    clock->RunUntil([&session] { return !session.Busy(); });
    EXPECT_EQ(fakes.log.events,
              (std::vector<LineEvent>{{3000, "RTS 1"}, {13000, "RTS 0"}, {13200, "RTS 1"}, {23200, "RTS 0"}}));
    ASSERT_EQ(log.lines.size(), 2u);
    // sqrt((0.3² + 0.4² + 0 + 0.1² + 0.2²) / 3) = sqrt(0.1) = 0.32; the retake: the
    // connection lost 1.8 s in.
    EXPECT_EQ(log.lines[0].substr(log.lines[0].rfind(",done,")), ",done,window,,0.32,StarLost@4.0s,suspect,,,,Light,");
    EXPECT_EQ(log.lines[1].substr(log.lines[1].rfind(",done,")), ",done,window,,,GuiderLost@1.8s,suspect,,,,Light,");
    EXPECT_EQ(session.Tally().frames, 2);
    EXPECT_EQ(session.Tally().suspect, 2);
    EXPECT_EQ(session.Tally().retaken, 1);
    session.WatchGuider(false);
}

}  // namespace

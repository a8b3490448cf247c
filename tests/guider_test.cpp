// The PHD2 client against a stand-in event server on localhost: the request
// it sends, and how each way the server answers (or does not) ends the
// dither. The client runs in the GLib main context, as in the program.
#include <arpa/inet.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "guider/guider.h"

namespace {

// Listens on 127.0.0.1 at a free port; takes one connection, sends the
// greeting events, reads the request line and answers with `replies`
// (nothing more after them: then it hangs up, or with `silent` it waits
// for the client to go).
class FakePhd2 {
public:
    FakePhd2(std::vector<std::string> replies, bool silent)
        : replies_(std::move(replies))
        , silent_(silent)
    {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t length = sizeof address;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
        listen(listener_, 1);
        thread_ = std::thread([this] { Serve(); });
    }

    ~FakePhd2()
    {
        shutdown(listener_, SHUT_RDWR);
        thread_.join();
        close(listener_);
    }

    uint16_t port = 0;
    std::string request;  // the client's line, CR LF included

private:
    void Serve()
    {
        const int client = accept(listener_, nullptr, nullptr);
        if (client < 0)
            return;
        Send(client,
             "{\"Event\":\"Version\",\"PHDVersion\":\"2.6.11\",\"MsgVersion\":1}\r\n"
             "{\"Event\":\"AppState\",\"State\":\"Guiding\"}\r\n");
        char c = 0;
        while (request.find('\n') == std::string::npos && read(client, &c, 1) == 1)
            request += c;
        for (const std::string& reply : replies_)
            Send(client, reply + "\r\n");
        if (silent_)
            while (read(client, &c, 1) == 1) { }
        close(client);
    }

    static void Send(int fd, const std::string& text)
    {
        if (write(fd, text.data(), text.size()) < 0)
            ADD_FAILURE() << "the fake server could not write";
    }

    std::vector<std::string> replies_;
    bool silent_;
    int listener_ = -1;
    std::thread thread_;
};

// Runs the main context until the dither ends; -1 if it never does.
int DitherAgainst(uint16_t port, int32_t giveUpMs = 2000)
{
    auto guider = MakePhd2Guider(port);
    DitherRequest request;
    request.pixels = 3;
    request.settleSeconds = 10;
    request.settleTimeoutSeconds = 70;
    request.giveUpMs = giveUpMs;
    int result = -1;
    guider->Dither(request, [&result](bool settled) { result = settled; });
    while (result < 0)
        g_main_context_iteration(nullptr, TRUE);
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
        bool settled;
        int32_t giveUpMs = 5000;  // far beyond any answer on a slow machine
    };
    const Row rows[] = {
        {"settles", {ANSWER, SETTLE_BEGIN, SETTLING, GUIDE_STEP, SETTLED}, true, true},
        {"a stale SettleDone before the answer is not ours", {SETTLED, ANSWER, SETTLING, SETTLED}, true, true},
        {"malformed lines are skipped; a SettleDone without a numeric Status fails",
         {"not json", "[1,2]", "{\"Event\":5}", "{\"Event\":null,\"id\":\"x\"}", "{\"id\":{}}", ANSWER,
          "{\"Event\":\"SettleDone\",\"Status\":\"0\"}", SETTLED},
         true,
         false},
        {"not guiding: an error answer",
         {"{\"jsonrpc\":\"2.0\",\"error\":{\"code\":1,\"message\":\"cannot dither if not guiding\"},\"id\":1}"},
         true,
         false},
        {"settling fails",
         {ANSWER, SETTLE_BEGIN,
          "{\"Event\":\"SettleDone\",\"Status\":1,\"Error\":\"timed-out waiting for guider to "
          "settle\",\"TotalFrames\":70,\"DroppedFrames\":0}"},
         true,
         false},
        {"the answer, then nothing", {ANSWER, SETTLE_BEGIN}, true, false, 300},
        {"the connection dropped", {ANSWER}, false, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakePhd2 server(row.replies, row.silent);
        EXPECT_EQ(DitherAgainst(server.port, row.giveUpMs), row.settled);
        EXPECT_EQ(server.request,
                  "{\"method\":\"dither\",\"params\":{\"amount\":3,\"raOnly\":false,\"settle\":{"
                  "\"pixels\":1.5,\"time\":10,\"timeout\":70}},\"id\":1}\r\n");
    }
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
    EXPECT_EQ(DitherAgainst(freePort), 0);

    FakePhd2 server({ANSWER, SETTLE_BEGIN, SETTLED}, true);
    auto guider = MakePhd2Guider(server.port);
    bool called = false;
    guider->Dither(DitherRequest(), [&called](bool) { called = true; });
    guider->Cancel();
    bool later = false;
    g_timeout_add(
        300, [](gpointer flag) { return *static_cast<bool*>(flag) = true, G_SOURCE_REMOVE; }, &later);
    while (!later)
        g_main_context_iteration(nullptr, TRUE);
    EXPECT_FALSE(called);
}

}  // namespace

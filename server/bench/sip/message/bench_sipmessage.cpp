// Messages parsed per second on a mix of REGISTER with digest credentials, INVITE with SDP,
// 200 OK and BYE, beside GNU oSIP's osip_message_parse on the same bytes: parse alone, parse plus
// the fields a transaction layer reads of every message, and parse plus serialize. The ratios
// printed at the end are those of the medians of the repetitions (10 unless given, run in a
// random order so that a change of the machine's load falls on both sides alike).
// Run by hand: build-*/server/bench/sip/message/bench_sipmessage
#include "sip/message/sipmessage.h"

#include <benchmark/benchmark.h>
#include <osipparser2/osip_message.h>
#include <osipparser2/osip_parser.h>

#include <QHostAddress>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

const char kRegister[]
    = "REGISTER sip:pbx.example.com SIP/2.0\r\n"
      "Via: SIP/2.0/UDP 192.168.1.20:5060;branch=z9hG4bK4a1f9e0c2d7b44e8;rport\r\n"
      "Max-Forwards: 70\r\n"
      "From: \"Door 1\" <sip:door1@pbx.example.com>;tag=8d1e7f6a\r\n"
      "To: \"Door 1\" <sip:door1@pbx.example.com>\r\n"
      "Call-ID: 5c0e2bb4f1a94e0c9b2d7e11a3f0c4d2\r\n"
      "CSeq: 2 REGISTER\r\n"
      "Contact: <sip:door1@192.168.1.20:5060>\r\n"
      "Authorization: Digest username=\"door1\", realm=\"pbx.example.com\", "
      "nonce=\"3f2a9c1be07d4a55\", uri=\"sip:pbx.example.com\", "
      "response=\"0a4f113b9ce2a4f8c1d3e5b7a9c0d2e4\", algorithm=MD5\r\n"
      "Expires: 3600\r\n"
      "Allow: REGISTER, MESSAGE, INVITE, ACK, CANCEL, BYE, INFO, REFER\r\n"
      "User-Agent: Door Gateway\r\n"
      "Content-Length: 0\r\n\r\n";

const char kInvite[] = "INVITE sip:201@pbx.example.com SIP/2.0\r\n"
                       "Via: SIP/2.0/UDP 192.168.1.20:5060;branch=z9hG4bK77ef4c2312983a;rport\r\n"
                       "Max-Forwards: 70\r\n"
                       "From: \"Door 1\" <sip:door1@pbx.example.com>;tag=1928301774\r\n"
                       "To: <sip:201@pbx.example.com>\r\n"
                       "Call-ID: a84b4c76e66710b2c9d0e1f2a3b4c5d6\r\n"
                       "CSeq: 314159 INVITE\r\n"
                       "Contact: <sip:door1@192.168.1.20:5060>\r\n"
                       "Allow: REGISTER, MESSAGE, INVITE, ACK, CANCEL, BYE, INFO, REFER\r\n"
                       "Supported: replaces, timer\r\n"
                       "Content-Type: application/sdp\r\n"
                       "Content-Length: 289\r\n\r\n"
                       "v=0\r\n"
                       "o=- 0 0 IN IP4 192.168.1.20\r\n"
                       "s=-\r\n"
                       "c=IN IP4 192.168.1.20\r\n"
                       "t=0 0\r\n"
                       "m=audio 40000 RTP/AVP 8 0 3 9 101\r\n"
                       "a=rtcp:40001 IN IP4 192.168.1.20\r\n"
                       "a=rtpmap:8 PCMA/8000\r\n"
                       "a=rtpmap:0 PCMU/8000\r\n"
                       "a=rtpmap:3 GSM/8000\r\n"
                       "a=rtpmap:9 G722/8000\r\n"
                       "a=rtpmap:101 telephone-event/8000\r\n"
                       "a=fmtp:101 0-16\r\n"
                       "a=sendrecv\r\n";

const char kOk[] = "SIP/2.0 200 OK\r\n"
                   "Via: SIP/2.0/UDP 192.168.1.20:5060;branch=z9hG4bK77ef4c2312983a;"
                   "received=192.168.1.20;rport=5060\r\n"
                   "Record-Route: <sip:pbx.example.com;lr>\r\n"
                   "From: \"Door 1\" <sip:door1@pbx.example.com>;tag=1928301774\r\n"
                   "To: <sip:201@pbx.example.com>;tag=a6c85cf\r\n"
                   "Call-ID: a84b4c76e66710b2c9d0e1f2a3b4c5d6\r\n"
                   "CSeq: 314159 INVITE\r\n"
                   "Contact: <sip:201@192.168.1.31:5062>\r\n"
                   "Allow: INVITE, ACK, CANCEL, BYE, OPTIONS\r\n"
                   "Content-Length: 0\r\n\r\n";

const char kBye[] = "BYE sip:door1@192.168.1.20:5060 SIP/2.0\r\n"
                    "Via: SIP/2.0/UDP 192.168.1.31:5062;branch=z9hG4bKnashds10;rport\r\n"
                    "Max-Forwards: 70\r\n"
                    "From: <sip:201@pbx.example.com>;tag=a6c85cf\r\n"
                    "To: \"Door 1\" <sip:door1@pbx.example.com>;tag=1928301774\r\n"
                    "Call-ID: a84b4c76e66710b2c9d0e1f2a3b4c5d6\r\n"
                    "CSeq: 231 BYE\r\n"
                    "Content-Length: 0\r\n\r\n";

const std::vector<QByteArray> &mix()
{
    static const std::vector<QByteArray> messages
        = { QByteArray(kRegister), QByteArray(kInvite), QByteArray(kOk), QByteArray(kBye) };
    return messages;
}

const QHostAddress kPeer(QStringLiteral("192.168.1.31"));
const QHostAddress kLocal(QStringLiteral("192.168.1.20"));

void tarnhallParse(benchmark::State &state)
{
    for (auto _ : state) {
        for (const QByteArray &bytes : mix()) {
            SipMessage message(SipTransport::UDP, kPeer, 5062, kLocal, 5060, bytes);
            if (!message.valid)
                state.SkipWithError("message rejected");
            benchmark::DoNotOptimize(message);
        }
    }
    state.SetItemsProcessed(state.iterations() * int64_t(mix().size()));
}

// Top Via and branch, From and To with their tags, Contact, CSeq, Call-ID, transaction key.
void tarnhallReadFields(const SipMessage &message)
{
    benchmark::DoNotOptimize(message.topVia());
    benchmark::DoNotOptimize(message.branch());
    benchmark::DoNotOptimize(message.from());
    benchmark::DoNotOptimize(message.fromTag());
    benchmark::DoNotOptimize(message.to());
    benchmark::DoNotOptimize(message.toTag());
    benchmark::DoNotOptimize(message.contact());
    benchmark::DoNotOptimize(message.cseqNumber());
    benchmark::DoNotOptimize(message.cseqMethod());
    benchmark::DoNotOptimize(message.callId());
    benchmark::DoNotOptimize(message.transactionKey());
}

void tarnhallParseRead(benchmark::State &state)
{
    for (auto _ : state) {
        for (const QByteArray &bytes : mix()) {
            const SipMessage message(SipTransport::UDP, kPeer, 5062, kLocal, 5060, bytes);
            tarnhallReadFields(message);
        }
    }
    state.SetItemsProcessed(state.iterations() * int64_t(mix().size()));
}

void tarnhallParseSerialize(benchmark::State &state)
{
    for (auto _ : state) {
        for (const QByteArray &bytes : mix()) {
            const SipMessage message(SipTransport::UDP, kPeer, 5062, kLocal, 5060, bytes);
            QByteArray out = message.toByteArray();
            benchmark::DoNotOptimize(out);
        }
    }
    state.SetItemsProcessed(state.iterations() * int64_t(mix().size()));
}

void osipParse(benchmark::State &state)
{
    for (auto _ : state) {
        for (const QByteArray &bytes : mix()) {
            osip_message_t *message = nullptr;
            osip_message_init(&message);
            if (osip_message_parse(message, bytes.constData(), size_t(bytes.size())) != 0)
                state.SkipWithError("oSIP rejected a message");
            benchmark::DoNotOptimize(message);
            osip_message_free(message);
        }
    }
    state.SetItemsProcessed(state.iterations() * int64_t(mix().size()));
}

const char *osipParam(osip_list_t *params, const char *name)
{
    osip_generic_param_t *param = nullptr;
    osip_generic_param_get_byname(params, const_cast<char *>(name), &param);
    return param != nullptr ? param->gvalue : nullptr;
}

// The same fields from oSIP's parsed headers; the key is built as the other side builds it.
void osipReadFields(osip_message_t *message)
{
    osip_via_t *via = nullptr;
    osip_message_get_via(message, 0, &via);
    benchmark::DoNotOptimize(via);
    if (via != nullptr)
        benchmark::DoNotOptimize(osipParam(&via->via_params, "branch"));
    benchmark::DoNotOptimize(message->from);
    benchmark::DoNotOptimize(osipParam(&message->from->gen_params, "tag"));
    benchmark::DoNotOptimize(message->to);
    benchmark::DoNotOptimize(osipParam(&message->to->gen_params, "tag"));
    osip_contact_t *contact = nullptr;
    osip_message_get_contact(message, 0, &contact);
    benchmark::DoNotOptimize(contact);
    const osip_cseq_t *cseq = message->cseq;
    benchmark::DoNotOptimize(std::strtoul(cseq->number, nullptr, 10));
    benchmark::DoNotOptimize(cseq->method);
    const osip_call_id_t *callId = message->call_id;
    std::string id = callId->number;
    if (callId->host != nullptr)
        id.append(1, '@').append(callId->host);
    const char *method = MSG_IS_REQUEST(message) ? message->sip_method : cseq->method;
    if (std::strcmp(method, "ACK") == 0)
        method = "INVITE";
    std::string key = std::string(method) + '_' + cseq->number + '_' + id;
    benchmark::DoNotOptimize(key);
}

void osipParseRead(benchmark::State &state)
{
    for (auto _ : state) {
        for (const QByteArray &bytes : mix()) {
            osip_message_t *message = nullptr;
            osip_message_init(&message);
            if (osip_message_parse(message, bytes.constData(), size_t(bytes.size())) == 0)
                osipReadFields(message);
            else
                state.SkipWithError("oSIP rejected a message");
            osip_message_free(message);
        }
    }
    state.SetItemsProcessed(state.iterations() * int64_t(mix().size()));
}

void osipParseSerialize(benchmark::State &state)
{
    for (auto _ : state) {
        for (const QByteArray &bytes : mix()) {
            osip_message_t *message = nullptr;
            osip_message_init(&message);
            osip_message_parse(message, bytes.constData(), size_t(bytes.size()));
            // Parsing keeps the received text; force a fresh write as the other side does.
            osip_message_force_update(message);
            char *out = nullptr;
            size_t length = 0;
            osip_message_to_str(message, &out, &length);
            benchmark::DoNotOptimize(out);
            osip_free(out);
            osip_message_free(message);
        }
    }
    state.SetItemsProcessed(state.iterations() * int64_t(mix().size()));
}

// Prints the runs as usual and then the throughput of this parser relative to oSIP's, from the
// median of the repetitions (from the single run when there is only one).
class RatioReporter : public benchmark::ConsoleReporter
{
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            const auto it = run.counters.find("items_per_second");
            if (it == run.counters.end())
                continue;
            const std::string &name = run.run_name.function_name;
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median")
                m_medians[name] = it->second.value;
            else if (run.run_type == Run::RT_Iteration)
                m_rates[name] = it->second.value;
        }
    }

    void Finalize() override
    {
        ConsoleReporter::Finalize();
        for (const auto &median : m_medians)
            m_rates[median.first] = median.second;
        ratio("parse", "tarnhallParse", "osipParse");
        ratio("parse + transaction fields", "tarnhallParseRead", "osipParseRead");
        ratio("parse + serialize", "tarnhallParseSerialize", "osipParseSerialize");
    }

private:
    void ratio(const char *what, const std::string &ours, const std::string &theirs)
    {
        if (m_rates.count(ours) && m_rates.count(theirs) && m_rates[theirs] > 0)
            std::printf("%s: %.0f msg/s vs oSIP %.0f msg/s: %.2f times oSIP's time\n", what,
                        m_rates[ours], m_rates[theirs], m_rates[theirs] / m_rates[ours]);
    }

    std::map<std::string, double> m_medians;

    std::map<std::string, double> m_rates;
};

} // namespace

BENCHMARK(tarnhallParse);
BENCHMARK(osipParse);
BENCHMARK(tarnhallParseRead);
BENCHMARK(osipParseRead);
BENCHMARK(tarnhallParseSerialize);
BENCHMARK(osipParseSerialize);

int main(int argc, char **argv)
{
    parser_init();
    std::vector<char *> args(argv, argv + argc);
    bool repetitions = false;
    for (const char *arg : args)
        repetitions = repetitions || std::strncmp(arg, "--benchmark_repetitions", 23) == 0;
    char defaultRepetitions[] = "--benchmark_repetitions=10";
    char aggregatesOnly[] = "--benchmark_report_aggregates_only=true";
    char interleaved[] = "--benchmark_enable_random_interleaving=true";
    if (!repetitions) {
        args.push_back(defaultRepetitions);
        args.push_back(aggregatesOnly);
        args.push_back(interleaved);
    }
    argc = int(args.size());
    args.push_back(nullptr);
    argv = args.data();
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}

// The dialog's parts alone, each driven by the test clock with a stand-in
// for its dialog: the session timer (points, restarts, negotiation), the
// response retransmitter (RSeq, the ticks until 64*T1, PRACK matching),
// our re-INVITE's retry wait, the peer's re-INVITE admission, and the
// snapshot record.

#include "CallFlow.h"

#include "mlapi/NvSipDialog.h"
#include "mlapi/dialog/NvSipDialogRecord.h"
#include "mlapi/dialog/NvSipIncomingReinvite.h"
#include "mlapi/dialog/NvSipOutgoingReinvite.h"
#include "mlapi/dialog/NvSipResponseRetransmitter.h"
#include "mlapi/dialog/NvSipSessionTimer.h"
#include "stack/timer/NvMonitorThread.h"

#include <cstdlib>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace {

// Stands for the dialog: records the key and object of every timer fired,
// and runs `onFire` (when set) as each fires.
class Owner : public NvObserver {
public:
    struct Fired { double key; NvHandle<NvObject> object; };
    std::vector<Fired> fired;
    std::function<void(const Fired&)> onFire;
    void onNotification(NvHandle<NvObservable> timer, NvHandle<NvObject>) override {
        fired.push_back({NvHandle<NvTimer>(timer)->getKey(), NvHandle<NvTimer>(timer)->getObject()});
        if (onFire) onFire(fired.back());
    }
};

// A request of the peer in the dialog (Call-ID c1, her tag r1, ours l1) with CSeq `cseq` and `extra` header lines.
NvHandle<NvSipRequest> fromPeer(const std::string& method, uint32_t cseq, const std::string& extra = "") {
    const std::string n = std::to_string(cseq);
    return NvHandle<NvSipRequest>(
        parse(method + " sip:bob@192.0.2.10 SIP/2.0\nVia: SIP/2.0/UDP 192.0.2.1;branch=z9hG4bK-" + n +
              "\nFrom: <sip:alice@192.0.2.1>;tag=r1\nTo: <sip:bob@192.0.2.10>;tag=l1\nCall-ID: c1\nCSeq: " + n + " " +
              method + "\nContact: <sip:alice@192.0.2.1>\n" + extra + "Content-Length: 0\n\n"));
}
NvHandle<NvSipInviteMessage> invite(uint32_t cseq, const std::string& extra = "") {
    return NvHandle<NvSipInviteMessage>(fromPeer("INVITE", cseq, extra));
}

class DialogPartTest : public CallFlow {
protected:
    NvHandle<Owner> owner = new Owner;
    NvScheduler& scheduler = NvMonitorThread::sGetCurrent()->getScheduler();
    const NvSipTimerOwner timers{*owner, scheduler};

    void TearDown() override {
        scheduler.cancelAll(owner.get());
        NvSipDialog::sm_bSupportTimer = false;
        CallFlow::TearDown();
    }
    // Milliseconds from now to each timer fired while the clock runs `ms`.
    std::vector<double> firedWithin(uint64_t ms) {
        const double start = NvTime::sGetCurrentTime();
        owner->fired.clear();
        clock.advance(ms);
        std::vector<double> at;
        for (const Owner::Fired& fired : owner->fired) at.push_back((fired.key - start) / 1000.0);
        return at;
    }
};

// ---------------------------------------------------------------- session timer

using SessionTimerPart = DialogPartTest;

TEST_F(SessionTimerPart, RefreshAtHalfExpiryTenSecondsBeforeTheEndTimersOfEarlierIntervalsStale) {
    NvSipSessionTimer timer;
    timer.start(timers, 90, true);
    EXPECT_EQ(firedWithin(100000), (std::vector<double>{45000, 80000}));
    EXPECT_EQ(timer.pointOf(owner->fired[0].key), NvSipSessionTimer::Point::Refresh);
    EXPECT_EQ(timer.pointOf(owner->fired[1].key), NvSipSessionTimer::Point::Expiry);
    EXPECT_DOUBLE_EQ(timer.elapsed(), 100.0);
    EXPECT_DOUBLE_EQ(timer.timeLeft(), -20.0);

    timer.start(timers, 90, false);  // the peer refreshes: only the warning
    EXPECT_EQ(firedWithin(30000), std::vector<double>{});
    timer.start(timers, 8, true);  // restarted: the first interval's timers are gone
    EXPECT_EQ(firedWithin(90000), (std::vector<double>{0, 4000}));
    EXPECT_EQ(timer.pointOf(owner->fired[0].key), NvSipSessionTimer::Point::Expiry);

    timer.start(timers, 60, true);
    const double refreshKey = NvTime::sGetCurrentTime() + 30000000.0;
    timer.stop(timers);
    EXPECT_EQ(timer.interval(), 0u);
    EXPECT_EQ(firedWithin(60000), std::vector<double>{});
    EXPECT_EQ(timer.pointOf(refreshKey), NvSipSessionTimer::Point::Stale);
}

TEST_F(SessionTimerPart, OurAnswerChoosesOrChecksTheInterval) {
    NvSipDialog::sm_bSupportTimer = true;
    // The INVITE's header lines, the Session-Expires the application put in its 2xx (0: none), what answering
    // raised or else what the 2xx carries ("Session-Expires | Require | Supported"), the timers fired within 2000 s.
    const std::tuple<const char*, int, const char*, const char*, std::vector<double>> rows[] = {
        {"Session-Expires: 1800\nSupported: timer\n", 0, "", "1800;refresher=uac | timer | ", {1790000}},
        {"Session-Expires: 1800\n", 0, "", "1800;refresher=uas |  | timer", {900000, 1790000}},
        {"Session-Expires: 1800;refresher=uas\nSupported: timer\n", 0, "", "1800;refresher=uas | timer | ",
         {900000, 1790000}},
        {"Supported: timer\n", 0, "", " |  | ", {}},
        {"Session-Expires: 1800\nSupported: timer\n", 900, "", "900;refresher=uac | timer | ", {890000}},
        {"Session-Expires: 1800\n", 900, "", "900;refresher=uas |  | ", {450000, 890000}},
        {"Session-Expires: 1800\n", 3600, "Server can't increase session time", "3600 |  | ", {}},
        {"", 19, "Session time too small", "19 |  | ", {}}};
    for (const auto& [headers, answerInterval, raisedText, answer, fired] : rows) {
        SCOPED_TRACE(std::string(headers) + " answered " + std::to_string(answerInterval));
        NvSipSessionTimer timer;
        const NvHandle<NvSipInviteMessage> offer = invite(1, headers);
        NvHandle<NvSipResponse> ok = new NvSipResponse(200, NvHandle<NvSipRequest>(offer));
        if (answerInterval) ok->addHeader(new NvSipSessionExpiresHeader(answerInterval));
        EXPECT_EQ(raised([&] { timer.answer(timers, ok, offer); }), raisedText);
        EXPECT_EQ(valueOf(ok, "Session-Expires") + " | " + valueOf(ok, "Require") + " | " + valueOf(ok, "Supported"),
                  answer);
        EXPECT_EQ(firedWithin(2000000), fired);
    }
    NvSipDialog::sm_bSupportTimer = false;
    NvSipSessionTimer off;
    const NvHandle<NvSipInviteMessage> offer = invite(1, "Session-Expires: 1800\n");
    off.answer(timers, new NvSipResponse(200, NvHandle<NvSipRequest>(offer)), offer);
    EXPECT_EQ(off.interval(), 0u);
}

TEST_F(SessionTimerPart, TheirAnswerSaysWhoRefreshesAndOurOfferAndRetryCarryTheInterval) {
    const std::tuple<const char*, bool, std::vector<double>> rows[] = {  // Session-Expires, Require: timer, timers
        {"90;refresher=uac", false, {45000, 80000}}, {"90;refresher=uas", false, {80000}},
        {"90", true, {45000, 80000}}, {"90", false, {80000}}, {"19;refresher=uac", false, {}}};
    for (const auto& [sessionExpires, requireTimer, fired] : rows) {
        SCOPED_TRACE(sessionExpires);
        NvSipSessionTimer timer;
        NvHandle<NvSipResponse> ok = new NvSipResponse(200, fromPeer("INVITE", 2));
        ok->addHeader(NvSipHeader::sCreate("Session-Expires", sessionExpires));
        if (requireTimer) ok->addHeader(NvSipHeader::sCreate("Require", "timer"));
        timer.take(timers, ok, ok->getHeader<NvSipSessionExpiresHeader>());
        EXPECT_EQ(firedWithin(100000), fired);
    }

    NvSipDialog::sm_bSupportTimer = true;
    NvSipSessionTimer timer;
    const NvHandle<NvSipInviteMessage> refresh = invite(2);
    timer.offer(refresh);  // no session timer runs: nothing offered
    EXPECT_EQ(valueOf(refresh, "Session-Expires"), "");
    timer.setInterval(90);
    timer.offer(refresh);
    timer.offer(refresh);
    EXPECT_EQ(valueOf(refresh, "Session-Expires"), "90");
    EXPECT_EQ(valueOf(refresh, "Supported"), "timer");
    // The retry after a 422 (the flows check the rest of it) carries the interval as its Min-SE too.
    const auto retry = NvSipSessionTimer::sRetry(fromPeer("INVITE", 4, "Session-Expires: 30\nMin-SE: 25\n"), 90, 5);
    EXPECT_EQ(valueOf(retry, "Session-Expires") + " " + valueOf(retry, "Min-SE"), "90 90");
}

// ---------------------------------------------------------------- response retransmitter

using RetransmitterPart = DialogPartTest;

TEST_F(RetransmitterPart, TicksDoubleFromT1UntilTheDeadline_ThoseOf2xxAtMostT2Apart) {
    // Capped at T2, the ticks in ms from the first sending (the last one gives up).
    const std::pair<bool, std::vector<double>> rows[] = {
        {true, {500, 1500, 3500, 7500, 11500, 15500, 19500, 23500, 27500, 31500, 32000}},
        {false, {500, 1500, 3500, 7500, 15500, 31500, 32000}}};
    for (const auto& [capAtT2, ticks] : rows) {
        const bool cap = capAtT2;  // for the lambda
        SCOPED_TRACE(cap);
        NvSipResponseRetransmitter retransmitter;
        const NvHandle<NvSipResponse> ok = new NvSipResponse(200, fromPeer("INVITE", 1));
        owner->onFire = [&](const Owner::Fired& fired) {
            EXPECT_TRUE(retransmitter.keeps(NvHandle<NvSipResponse>(fired.object)));
            if (retransmitter.tick() == NvSipResponseRetransmitter::Tick::SendAgain)
                retransmitter.scheduleNext(timers, cap);
        };
        retransmitter.start(timers, ok);
        EXPECT_EQ(firedWithin(60000), ticks);
        EXPECT_EQ(retransmitter.count(), ticks.size() - 1);
        owner->onFire = nullptr;
    }

    NvSipResponseRetransmitter stopped;
    stopped.start(timers, new NvSipResponse(200, fromPeer("INVITE", 1)));
    stopped.stop(timers);
    EXPECT_EQ(firedWithin(1000), std::vector<double>{});
    EXPECT_TRUE(stopped.kept().isNil());
}

TEST_F(RetransmitterPart, ReliableResponsesAreNumberedAndAcknowledgedByTheirRSeqOnly) {
    NvSipResponseRetransmitter retransmitter;
    const NvHandle<NvSipRequest> offer = fromPeer("INVITE", 1);
    auto reliable = [&](int rseq) {
        NvHandle<NvSipResponse> response = new NvSipResponse(183, offer);
        if (rseq) response->addHeader(new NvSipRSeqHeader(rseq));
        return response;
    };
    auto numbered = [&](int given) {
        const NvHandle<NvSipResponse> response = reliable(given);
        retransmitter.number(response);
        return response->getHeader<NvSipRSeqHeader>()->getNumber();
    };
    EXPECT_EQ((std::vector<uint32_t>{numbered(0), numbered(0), numbered(7), numbered(0)}),  // in this order
              (std::vector<uint32_t>{1, 2, 7, 8}));
    EXPECT_EQ(raised([&] { numbered(5); }), "RSeq Num is out of order");

    auto prack = [](const char* rack) { return NvHandle<NvSipPrackMessage>(fromPeer("PRACK", 2, rack)); };
    EXPECT_TRUE(retransmitter.takePrack(prack("RAck: 8 1 INVITE\n")).isNil());  // nothing sent
    const NvHandle<NvSipResponse> sent = reliable(8);
    retransmitter.start(timers, sent);
    retransmitter.start(timers, new NvSipResponse(200, offer));  // our 2xx crossing the PRACK: still matched
    EXPECT_TRUE(retransmitter.takePrack(prack("RAck: 7 1 INVITE\n")).isNil() &&
                retransmitter.takePrack(prack("")).isNil());
    EXPECT_EQ(retransmitter.takePrack(prack("RAck: 8 1 INVITE\n")).get(), sent.get());
    EXPECT_TRUE(retransmitter.takePrack(prack("RAck: 8 1 INVITE\n")).isNil());  // acknowledged once
    retransmitter.stop(timers);
}

// ---------------------------------------------------------------- re-INVITE parts

using ReinvitePart = DialogPartTest;

TEST_F(ReinvitePart, After491TheNewAttemptWaitsAsLongAsItsSideMust) {
    std::srand(7);
    for (const bool ownsCallId : {true, false}) {  // every multiple of 10 ms in its side's wait comes up
        std::set<unsigned int> delays;
        for (int draw = 0; draw < 2000; ++draw) delays.insert(NvSipOutgoingReinvite::sRetryDelayMs(ownsCallId));
        EXPECT_EQ(std::to_string(*delays.begin()) + " to " + std::to_string(*delays.rbegin()) + ", " +
                      std::to_string(delays.size()) + " values",
                  ownsCallId ? "2100 to 3990, 190 values" : "0 to 1990, 200 values");
    }
    // A 422's Min-SE is used when it is at least the minimum: status, Min-SE (0: none), what is used.
    const unsigned rows[][3] = {{422, 90, 90}, {422, 20, 20}, {422, 19, 0}, {422, 0, 0}, {500, 90, 0}};
    for (const auto& [status, minSE, usable] : rows) {
        NvHandle<NvSipResponse> response = new NvSipResponse(int(status), fromPeer("INVITE", 2));
        if (minSE) response->addHeader(new NvSipMinSEHeader(minSE));
        EXPECT_EQ(NvSipOutgoingReinvite::sUsableMinSE(response), usable) << status << " " << minSE;
    }
}

TEST_F(ReinvitePart, ThePeersReinviteIsTakenOrRefusedInThisOrder) {
    using A = NvSipIncomingReinvite::Admission;
    const char* const kShort = "Session-Expires: 10\n";  // below the minimum
    const struct {
        uint32_t cseq;
        bool ours, theirs, confirmed, ending, caller;
        const char* extra;
        A admission;
    } rows[] = {
        {5, false, false, true, false, false, "", A::Take},
        {4, true, true, true, true, true, kShort, A::OutOfOrder},
        {5, true, true, true, true, false, kShort, A::Ended},
        {5, true, true, true, false, false, kShort, A::Glare},
        {5, false, false, false, false, true, kShort, A::Glare},  // our INVITE's 2xx not ACKed yet, or early
        {5, false, true, false, false, true, kShort, A::Busy},
        {5, false, false, false, false, false, kShort, A::Busy},  // their INVITE's 2xx not ACKed yet, or early
        {5, false, false, true, false, true, kShort, A::TooSmall}};
    for (const auto& row : rows) {
        const NvSipIncomingReinvite::Dialog dialog{5, row.ours, row.theirs, row.confirmed, row.ending, row.caller};
        EXPECT_EQ(NvSipIncomingReinvite::sAdmit(invite(row.cseq, row.extra), dialog), row.admission)
            << row.cseq << row.ours << row.theirs << row.confirmed << row.ending << row.caller << row.extra;
    }
}

// ---------------------------------------------------------------- snapshot record

// Adapters that only count what they make.
class CountingAdapters : public NvSipDialogRecord::Adapters {
public:
    int made = 0;
    Client inviteClient() override { return ++made, new NvSipClientTransactionInterface; }
    Server inviteServer() override { return ++made, new NvSipServerTransactionInterface; }
    Client byeClient() override { return ++made, new NvSipClientTransactionInterface; }
    Server byeServer() override { return ++made, new NvSipServerTransactionInterface; }
    Client reinviteClient() override { return ++made, new NvSipClientTransactionInterface; }
    Server reinviteServer() override { return ++made, new NvSipServerTransactionInterface; }
};

using RecordPart = DialogPartTest;

TEST_F(RecordPart, ReadsBackWhatItWroteDropsWhatTheStateMakesStaleRefusesTwoStates) {
    NvSipDialogRecord written;
    written.state = NvSipDialog::NV_REINVITED;
    written.retransmitCount = 3, written.localCSeq = 7, written.remoteCSeq = 9, written.rseq = 2;
    written.sessionInterval = 90, written.remoteTag = "r1";
    written.remoteParticipant = NvSipNameAddress::sParse("Alice <sip:alice@192.0.2.1>");
    written.routeSet = {NvSipNameAddress::sParse("<sip:p1@192.0.2.5;lr>"), NvSipNameAddress::sParse("<sip:p2;lr>")};
    written.initialTransaction = new NvSipServerTransaction(invite(1), new NvSipServerTransactionInterface);
    written.theirReinvite = new NvSipServerTransaction(invite(9), new NvSipServerTransactionInterface);
    written.outResponse = new NvSipResponse(200, fromPeer("INVITE", 9));
    NvByteArrayOutputStream out;
    written.write(out);
    const std::string bytes = out.toByteArray();
    written.dropTransactions();

    NvSipDialogRecord read;
    CountingAdapters adapters;
    NvByteArrayInputStream in(bytes);
    read.read(in, adapters);
    EXPECT_EQ(adapters.made, 2);
    EXPECT_EQ(transactions.getTransactionCount(), 2u);
    NvByteArrayOutputStream again;
    read.write(again);
    EXPECT_EQ(again.toByteArray(), bytes);

    read.state = NvSipDialog::NV_ACTIVE;  // the INVITE's and the re-INVITE's transactions are stale
    read.dropStale();
    EXPECT_TRUE(read.initialTransaction.isNil() && read.theirReinvite.isNil());
    EXPECT_EQ(transactions.getTransactionCount(), 0u);

    std::string twoStates = bytes;
    twoStates.replace(0, 4, std::string("\x03\0\0\0", 4));
    NvSipDialogRecord corrupt;
    NvByteArrayInputStream flipped(twoStates);
    EXPECT_EQ(raised([&] { corrupt.read(flipped, adapters); }), "Corrupt dialog snapshot: state 3");
}

}  // namespace

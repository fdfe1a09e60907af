#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <QEventLoop>
#include <QTimer>

#include "BridgeKit/LocalCertificate.h"
#include "KelmVododIdizor/BridgeModel.h"
#include "KelmVododIdizor/IconWatch.h"
#include "KelmVododIdizor/ModelFixture.h"
#include "PrinterKit/PrinterStatus.h"
#include "support/RunTask.h"

namespace KelmVododIdizor {
namespace {

using namespace std::chrono_literals;
using BridgeKit::LocalCertificate;
using CertState = BridgeModel::CertState;
using Field = BridgeModel::Field;
using PrinterKit::PrinterStatus;
using TestSupport::runUntil;
using Clock = std::chrono::steady_clock;

TEST(IconWatchProblem, FollowsPrinterTroubleThenTheNoticeThenListenerAndCertificate) {
  const auto until = std::chrono::system_clock::now() + std::chrono::hours(24 * 100);
  const PrinterStatus ready{PrinterStatus::State::ready, std::nullopt, 18, 0, 0, 0};
  const PrinterStatus coverOpen{
      PrinterStatus::State::unknown, PrinterStatus::Problem::coverOpen, std::nullopt, 0, 0, 0};
  struct Case {
    const char* name;
    std::optional<PrinterStatus> status;
    std::optional<std::string> statusError;
    CertState cert;
    bool serverRunning;
    bool noticeAccepted;
    bool problem;
  };
  const Case cases[] = {
      {"notice pending hides a missing certificate and listener", std::nullopt, std::nullopt,
       CertState::missing(), false, false, false},
      {"notice pending, printer ready", ready, std::nullopt, CertState::missing(), false, false,
       false},
      {"printer problem before the notice", coverOpen, std::nullopt, CertState::missing(), false,
       false, true},
      {"status error before the notice", std::nullopt, "PRINTER_UNREACHABLE", CertState::missing(),
       false, false, true},
      {"all well", ready, std::nullopt, CertState::trusted(until), true, true, false},
      {"all well without a printer", std::nullopt, std::nullopt, CertState::trusted(until), true,
       true, false},
      {"renewal due", ready, std::nullopt, CertState::renewSoon(until), true, true, true},
      {"certificate untrusted", ready, std::nullopt, CertState::untrusted(), true, true, true},
      {"certificate missing", ready, std::nullopt, CertState::missing(), true, true, true},
      {"listener down", ready, std::nullopt, CertState::trusted(until), false, true, true},
      {"printer problem, all else well", coverOpen, std::nullopt, CertState::trusted(until), true,
       true, true},
      {"status error, all else well", std::nullopt, "PRINTER_UNREACHABLE",
       CertState::trusted(until), true, true, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(
        IconWatch::problem(c.status, c.statusError, c.cert, c.serverRunning, c.noticeAccepted),
        c.problem)
        << c.name;
  }
}

class IconWatchTest : public testing::ModelFixture {
 protected:
  static constexpr std::chrono::milliseconds interval{20};

  struct Announcement {
    bool problem;
    Clock::time_point at;
  };

  // A model that neither lists printers nor listens: nothing changes unless the test changes it.
  std::unique_ptr<BridgeModel> quietModel() {
    BridgeModel::Environment quiet = environment();
    quiet.serves = false;
    return std::make_unique<BridgeModel>(std::move(quiet));
  }

  std::unique_ptr<IconWatch> watch(BridgeModel& model) {
    auto made = std::make_unique<IconWatch>(model, interval);
    QObject::connect(made.get(), &IconWatch::iconChanged, [this](bool problem) {
      announced.push_back({problem, Clock::now()});
    });
    return made;
  }

  bool announcements(std::size_t count) {
    return runUntil([&] { return announced.size() >= count; });
  }

  // Runs the event loop for at least `duration`.
  static void runFor(std::chrono::milliseconds duration) {
    QEventLoop loop;
    QTimer::singleShot(duration, &loop, &QEventLoop::quit);
    loop.exec();
  }

  std::vector<Announcement> announced;
};

TEST_F(IconWatchTest, FirstAnnouncementComesOneIntervalAfterConstructionWithTheValuesThen) {
  auto model = quietModel();
  const Clock::time_point start = Clock::now();
  auto watching = watch(*model);
  // Read when the interval is over: with the notice accepted, the missing certificate counts.
  model->setNoticeAccepted(true);
  EXPECT_TRUE(announced.empty());
  ASSERT_TRUE(announcements(1));
  EXPECT_TRUE(announced[0].problem);
  EXPECT_GE(announced[0].at - start, interval);
}

TEST_F(IconWatchTest, ChangesWithinTheIntervalGiveOneAnnouncementWithTheLastValues) {
  const LocalCertificate::Pair pair = trustedCertificate(now);
  auto model = makeModel();
  model->setNoticeAccepted(true);
  ASSERT_TRUE(runUntil([&] { return model->serverRunning(); }));
  ASSERT_EQ(model->cert().kind, CertState::Kind::trusted);
  auto watching = watch(*model);
  ASSERT_TRUE(announcements(1));
  EXPECT_FALSE(announced[0].problem);

  // The event loop does not run between the changes, so both fall within one interval however
  // slow the machine is; the pause puts the second one well after the first.
  browserTrust->trusted.clear();
  model->refreshCertificate();
  ASSERT_EQ(model->cert().kind, CertState::Kind::untrusted);
  std::this_thread::sleep_for(interval / 2);
  LocalCertificate::trust(pair.certificate, stores);
  const Clock::time_point last = Clock::now();
  model->refreshCertificate();
  ASSERT_EQ(model->cert().kind, CertState::Kind::trusted);

  ASSERT_TRUE(announcements(2));
  EXPECT_FALSE(announced[1].problem);
  EXPECT_GE(announced[1].at - last, interval);
  runFor(5 * interval);
  EXPECT_EQ(announced.size(), 2u);
}

TEST_F(IconWatchTest, AcceptingTheNoticeAloneAnnouncesNothingUntilAnInputChanges) {
  auto model = quietModel();
  auto watching = watch(*model);
  ASSERT_TRUE(announcements(1));
  EXPECT_FALSE(announced[0].problem);

  model->setNoticeAccepted(true);
  runFor(5 * interval);
  EXPECT_EQ(announced.size(), 1u);

  trustedCertificate(now);
  model->refreshCertificate();
  ASSERT_TRUE(announcements(2));
  // The listener of this model never runs: with the notice accepted that shows.
  EXPECT_TRUE(announced[1].problem);
}

TEST_F(IconWatchTest, OnlyStatusStatusErrorCertificateAndListenerRestartTheWait) {
  auto model = quietModel();
  auto watching = watch(*model);
  ASSERT_TRUE(announcements(1));

  for (const Field other :
       {Field::noticeAccepted, Field::printers, Field::selected, Field::choosingPrinter,
        Field::checking, Field::busy, Field::lastMessage, Field::launchAtLogin, Field::update,
        Field::loadingPrinters}) {
    emit model->changed(other);
  }
  runFor(5 * interval);
  EXPECT_EQ(announced.size(), 1u);

  std::size_t expected = 1;
  for (const Field input : {Field::status, Field::statusError, Field::cert, Field::serverRunning}) {
    SCOPED_TRACE(static_cast<int>(input));
    emit model->changed(input);
    ASSERT_TRUE(announcements(++expected));
  }
}

TEST_F(IconWatchTest, NothingIsAnnouncedOnceTheModelIsGone) {
  auto model = quietModel();
  auto watching = watch(*model);
  model.reset();
  runFor(5 * interval);
  EXPECT_TRUE(announced.empty());
}

}  // namespace
}  // namespace KelmVododIdizor

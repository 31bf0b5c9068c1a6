#include <zu/em.h>

#include <gtest/gtest.h>

#include <memory>
#include <thread>

using zu::String;
using zu::em::CatchError;
using zu::em::catching;
using zu::em::report;

namespace {

int ownerA = 0, ownerB = 0;

// Counts its calls and checks it is only ever asked for one thing at a time.
struct Translator {
  static int codeCalls, textCalls, bothCalls;
  static void reset() { codeCalls = textCalls = bothCalls = 0; }
  static void translate(unsigned int raw, unsigned int* code, String* text) {
    if (code && text) ++bothCalls;
    if (code) {
      ++codeCalls;
      *code = raw + 1000;
    }
    if (text) {
      ++textCalls;
      *text = raw == 2 ? String("not found") : String("other");
    }
  }
};
int Translator::codeCalls, Translator::textCalls, Translator::bothCalls;

}  // namespace

TEST(ErrorReports, ReportsWithoutAGuardAreDroppedAndFinishedTextsKept) {
  EXPECT_FALSE(catching(&ownerA));
  report(&ownerA, 5, String("lost"));
  report(&ownerA, 5, Translator::translate);
  CatchError guard(&ownerA);
  EXPECT_TRUE(catching(&ownerA));
  EXPECT_FALSE(catching(&ownerB));
  EXPECT_EQ(0u, guard.code()) << "a report made before the guard existed is gone";
  EXPECT_STREQ("", guard.text().cstr());
  report(&ownerA, 7, String("disk full"));
  EXPECT_EQ(7u, guard.code());
  EXPECT_STREQ("disk full", guard.text().cstr());
  EXPECT_EQ(7u, guard.code()) << "reading does not consume the report";
}

TEST(ErrorReports, TranslationRunsOnEveryReadAndOnlyForWhatIsAsked) {
  Translator::reset();
  CatchError guard(&ownerA);
  report(&ownerA, 2, Translator::translate);
  EXPECT_EQ(0, Translator::codeCalls + Translator::textCalls) << "nothing is built until asked";
  EXPECT_EQ(1002u, guard.code());
  EXPECT_EQ(1002u, guard.code());
  EXPECT_EQ(2, Translator::codeCalls);
  EXPECT_EQ(0, Translator::textCalls);
  EXPECT_STREQ("not found", guard.text().cstr());
  EXPECT_STREQ("not found", guard.text().cstr());
  EXPECT_EQ(2, Translator::textCalls);
  EXPECT_EQ(0, Translator::bothCalls);
}

TEST(ErrorReports, LastReportWins) {
  Translator::reset();
  CatchError guard(&ownerA);
  report(&ownerA, 2, Translator::translate);
  report(&ownerA, 9, String("second"));
  EXPECT_EQ(9u, guard.code());
  EXPECT_STREQ("second", guard.text().cstr());
  EXPECT_EQ(0, Translator::codeCalls + Translator::textCalls) << "the replaced translation is never called";

  report(&ownerA, 3, Translator::translate);
  EXPECT_EQ(1003u, guard.code());
  EXPECT_STREQ("other", guard.text().cstr()) << "the earlier finished text is gone";
}

TEST(ErrorReports, InnermostGuardOfTheOwnerReceivesItsReports) {
  {
    CatchError outer(&ownerA);
    CatchError other(&ownerB);
    {
      CatchError inner(&ownerA);
      report(&ownerA, 1, String("inner"));
      EXPECT_EQ(1u, inner.code());
      EXPECT_EQ(0u, outer.code());
    }
    report(&ownerA, 2, String("outer"));
    EXPECT_EQ(2u, outer.code());
    EXPECT_STREQ("outer", outer.text().cstr());
    EXPECT_EQ(0u, other.code()) << "another owner's guard hears nothing";
  }
  EXPECT_FALSE(catching(&ownerA));
  EXPECT_FALSE(catching(&ownerB));
}

TEST(ErrorReports, GuardsMayEndInAnyOrder) {
  std::unique_ptr<CatchError> first(new CatchError(&ownerA));
  std::unique_ptr<CatchError> second(new CatchError(&ownerA));
  std::unique_ptr<CatchError> third(new CatchError(&ownerA));
  second.reset();  // from the middle of the chain
  report(&ownerA, 3, String("to third"));
  EXPECT_EQ(3u, third->code());
  third.reset();
  report(&ownerA, 1, String("to first"));
  EXPECT_EQ(1u, first->code());

  std::unique_ptr<CatchError> again(new CatchError(&ownerA));
  first.reset();  // the oldest goes while a newer one lives
  report(&ownerA, 4, String("to again"));
  EXPECT_EQ(4u, again->code());
  again.reset();
  EXPECT_FALSE(catching(&ownerA));
}

TEST(ErrorReportsConcurrent, ReportsStayOnTheirThread) {
  CatchError guard(&ownerA);
  bool seenThere = true;
  std::thread t([&] {
    seenThere = catching(&ownerA);
    report(&ownerA, 8, String("elsewhere"));
    // A thread whose only guard ends releases its registry (the leak
    // checker of the sanitizer build notices if it does not).
    CatchError local(&ownerA);
    report(&ownerA, 9, String("there"));
    EXPECT_EQ(9u, local.code());
  });
  t.join();
  EXPECT_FALSE(seenThere);
  EXPECT_EQ(0u, guard.code());
  EXPECT_STREQ("", guard.text().cstr());
}

TEST(ErrorReports, ClearForgetsEitherKindOfReport) {
  Translator::reset();
  CatchError guard(&ownerA);
  report(&ownerA, 2, Translator::translate);
  guard.clear();
  EXPECT_EQ(0u, guard.code());
  EXPECT_STREQ("", guard.text().cstr());
  EXPECT_EQ(0, Translator::codeCalls + Translator::textCalls) << "a cleared translation is never called";
  report(&ownerA, 6, String("six"));
  guard.clear();
  EXPECT_EQ(0u, guard.code());
  EXPECT_STREQ("", guard.text().cstr());
  report(&ownerA, 7, String("seven"));
  EXPECT_EQ(7u, guard.code()) << "the guard still listens after clear";
  EXPECT_STREQ("seven", guard.text().cstr());
}

namespace {

bool failWith(void const* owner, unsigned int code, char const* text) {
  report(owner, code, String(text));
  return false;
}

}  // namespace

TEST(ErrorReports, AttemptReturnsTheResultWithWhatWasReported) {
  auto failed = zu::em::attempt(&ownerA, [] { return failWith(&ownerA, 5, "no room"); });
  EXPECT_FALSE(failed.result);
  EXPECT_EQ(5u, failed.code);
  EXPECT_STREQ("no room", failed.text.cstr());
  EXPECT_FALSE(catching(&ownerA)) << "the guard ends with the call";

  auto other = zu::em::attempt(&ownerA, [] { return failWith(&ownerB, 5, "elsewhere"); });
  EXPECT_EQ(0u, other.code) << "another owner's report is not caught";
  EXPECT_STREQ("", other.text.cstr());

  Translator::reset();
  auto translated = zu::em::attempt(&ownerB, [] {
    report(&ownerB, 2, Translator::translate);
    return std::make_unique<int>(42);  // a result that can only be moved
  });
  ASSERT_TRUE(translated.result);
  EXPECT_EQ(42, *translated.result);
  EXPECT_EQ(1002u, translated.code);
  EXPECT_STREQ("not found", translated.text.cstr());

  auto nothing = zu::em::attempt(&ownerA, [] { report(&ownerA, 3, String("void")); });
  EXPECT_EQ(3u, nothing.code);
  EXPECT_STREQ("void", nothing.text.cstr());

  boost::shared_ptr<int> held(new int(0));
  auto viaHolder = zu::em::attempt(held, [&] { return failWith(held.get(), 4, "held"); });
  EXPECT_EQ(4u, viaHolder.code);
  EXPECT_STREQ("held", viaHolder.text.cstr());
}

TEST(ErrorReports, AttemptLeavesAnOuterGuardAsItWas) {
  CatchError outer(&ownerA);
  report(&ownerA, 1, String("before"));
  auto inner = zu::em::attempt(&ownerA, [] { return failWith(&ownerA, 2, "inside"); });
  EXPECT_EQ(2u, inner.code);
  EXPECT_EQ(1u, outer.code()) << "the report made inside went to the inner guard only";
  report(&ownerA, 3, String("after"));
  EXPECT_EQ(3u, outer.code());
}

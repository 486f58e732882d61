#include "bmf_core/method.hpp"

#include <gtest/gtest.h>

#include <string>

namespace bmf_core {
namespace {

struct Accepted {
    std::string text;
    Method method;
};

class MethodAccepts : public ::testing::TestWithParam<Accepted> {};

TEST_P(MethodAccepts, ParsesToItsMethod) {
    auto parsed = parse_method(GetParam().text);
    ASSERT_TRUE(parsed.has_value()) << GetParam().text;
    EXPECT_EQ(*parsed, GetParam().method);
}

INSTANTIATE_TEST_SUITE_P(
    Names, MethodAccepts,
    ::testing::Values(Accepted{"naive", Method::Naive}, Accepted{"zeta", Method::Zeta},
                      Accepted{"greedy", Method::Greedy}, Accepted{"greedy-ls", Method::GreedyLs},
                      Accepted{"ZETA", Method::Zeta}, Accepted{"Zeta", Method::Zeta},
                      Accepted{"Greedy-LS", Method::GreedyLs}, Accepted{"NaIvE", Method::Naive},
                      Accepted{"  zeta  ", Method::Zeta}, Accepted{"\t\n\v\f\rgreedy\r\n", Method::Greedy},
                      Accepted{"\xC2\xA0naive\xC2\x85", Method::Naive},              // U+00A0, U+0085
                      Accepted{"\xE3\x80\x80zeta\xE3\x80\x80", Method::Zeta},        // U+3000
                      Accepted{"\xE1\x9A\x80\xE2\x80\x80greedy-ls\xE2\x80\x8A", Method::GreedyLs},
                      Accepted{"\xE2\x80\xA8\xE2\x80\xA9zeta\xE2\x80\xAF\xE2\x81\x9F", Method::Zeta}));

class MethodRefuses : public ::testing::TestWithParam<std::string> {};

TEST_P(MethodRefuses, KeepsTheCallersTextInTheMessage) {
    auto parsed = parse_method(GetParam());
    ASSERT_FALSE(parsed.has_value());
    EXPECT_EQ(parsed.error().text, GetParam());
    EXPECT_EQ(parsed.error().message(),
              "methode inconnue : '" + GetParam() + "'. Valeurs acceptees : naive, zeta, greedy, greedy-ls");
    EXPECT_EQ(parsed.error().failure().kind, boolmat::ErrorKind::Value);
}

INSTANTIATE_TEST_SUITE_P(Texts, MethodRefuses,
                         ::testing::Values("", "   ", "gree dy", "greedy_ls", "greedyls", "greedy-", "foo",
                                           "na\xC3\xAFve",                 // i with diaeresis: not folded
                                           "\xE2\x80\x8Bzeta",             // U+200B is not White_Space
                                           "zeta\xC2\xA0x", " Zeta-", "ZETAZETAZETAZETAZETA",
                                           std::string("zeta\0", 5)));

TEST(MethodNames, ListAndAcceptedTextFollowTheEnumeration) {
    ASSERT_EQ(kMethodNames.size(), 4u);
    for (std::size_t k = 0; k < kMethodNames.size(); ++k) {
        EXPECT_EQ(method_name(static_cast<Method>(k)), kMethodNames[k]);
        EXPECT_EQ(parse_method(kMethodNames[k]).value(), static_cast<Method>(k));
    }
    EXPECT_EQ(kAcceptedMethods.size(), 30u);
    EXPECT_EQ(sizeof(Method), 1u);
}

TEST(MethodNames, OrFailGivesTheValueError) {
    EXPECT_EQ(parse_method_or_fail(" greedy ").value(), Method::Greedy);
    auto f = parse_method_or_fail("x");
    ASSERT_FALSE(f.has_value());
    EXPECT_EQ(f.error().message(), "methode inconnue : 'x'. Valeurs acceptees : naive, zeta, greedy, greedy-ls");
}

}  // namespace
}  // namespace bmf_core

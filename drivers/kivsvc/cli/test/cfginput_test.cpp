// Configuration input as users type it.
#include <gtest/gtest.h>

#include "cfginput.h"

namespace {

using kivcli::assignConfig;
using kivcli::configFromJson;

TEST(CfgAssign, TypedValuesOfEveryKind) {
    kivsvc::q7xxConfigT cfg;
    std::string err;
    ASSERT_TRUE(assignConfig({"ppl=2.5", "cutoff_delay=3000", "flow_unit=m3_h", "mfilter_width=16",
                              "simu_freq_enabled=true", "diam=DN 50 \"x\"", "snum=AB\\0"},
                             cfg, err))
        << err;
    EXPECT_FLOAT_EQ(cfg.ppl(), 2.5f);
    EXPECT_EQ(cfg.cutoff_delay(), 3000u);
    EXPECT_EQ(cfg.flow_unit(), kivsvc::m3_h);
    EXPECT_EQ(cfg.mfilter_width(), kivsvc::q7xxConfigT::fd_16); // by number
    EXPECT_TRUE(cfg.simu_freq_enabled());
    EXPECT_EQ(cfg.diam(), "DN 50 \"x\""); // text as typed, quotes and all
    EXPECT_EQ(cfg.snum(), "AB\\0");
}

TEST(CfgAssign, NestedFieldInItsTextForm) {
    kivsvc::q7xxConfigT cfg;
    std::string err;
    ASSERT_TRUE(assignConfig({"custom_fwd_ccurve={ diam { coeff { t: 1 m: 2 q: 3 } } }"}, cfg, err))
        << err;
    ASSERT_EQ(cfg.custom_fwd_ccurve().diam_size(), 1);
    EXPECT_FLOAT_EQ(cfg.custom_fwd_ccurve().diam(0).coeff(0).q(), 3.f);
}

TEST(CfgAssign, AValueCannotSetAnotherField) {
    kivsvc::q7xxConfigT cfg;
    std::string err;
    EXPECT_FALSE(assignConfig({"ppl=1 spare: 3"}, cfg, err));
    EXPECT_FALSE(cfg.has_spare());
    EXPECT_FALSE(assignConfig({"custom_fwd_ccurve={ } spare: 3"}, cfg, err));
    EXPECT_FALSE(cfg.has_spare());
    EXPECT_FALSE(assignConfig({"ppl=1\nspare: 3"}, cfg, err));
    EXPECT_FALSE(cfg.has_spare());
}

TEST(CfgAssign, MistakesAreNamed) {
    kivsvc::q7xxConfigT cfg;
    std::string err;
    EXPECT_FALSE(assignConfig({"nope=1"}, cfg, err));
    EXPECT_NE(err.find("no configuration field \"nope\""), std::string::npos) << err;
    EXPECT_FALSE(assignConfig({"ppl"}, cfg, err));
    EXPECT_FALSE(assignConfig({"=1"}, cfg, err));
    EXPECT_FALSE(assignConfig({"ppl="}, cfg, err));
    EXPECT_FALSE(assignConfig({"cutoff_delay=-1"}, cfg, err));
    EXPECT_FALSE(assignConfig({"cutoff_delay=99999999999"}, cfg, err));
    EXPECT_FALSE(assignConfig({"flow_unit=parsecs"}, cfg, err));
    EXPECT_FALSE(assignConfig({"custom_fwd_ccurve={ diam { coeff { t: 1 } } }"}, cfg, err))
        << "a point needs all of t, m and q";
}

TEST(CfgJson, ReplacesRepeatedFieldsAndNeedsCompleteMessages) {
    kivsvc::q7xxConfigT cfg;
    std::string err;
    ASSERT_TRUE(assignConfig({"custom_fwd_ccurve={ diam { } diam { } }", "ppl=1"}, cfg, err));
    ASSERT_TRUE(
        configFromJson(R"({"custom_fwd_ccurve":{"diam":[{}]},"flow_unit":"gpm"})", cfg, err))
        << err;
    EXPECT_EQ(cfg.custom_fwd_ccurve().diam_size(), 1);
    EXPECT_EQ(cfg.flow_unit(), kivsvc::gpm);
    EXPECT_FLOAT_EQ(cfg.ppl(), 1.f); // not in the file: kept
    EXPECT_FALSE(
        configFromJson(R"({"custom_rev_ccurve":{"diam":[{"coeff":[{"t":1}]}]}})", cfg, err));
    EXPECT_FALSE(configFromJson("[1]", cfg, err));
    EXPECT_FALSE(configFromJson(R"({"ppl":"fast"})", cfg, err));
}

} // namespace

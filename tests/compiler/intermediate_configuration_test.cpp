#include "compiler/intermediate_configuration.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "compiler/ic_nodes.h"
#include "platform/strings.h"
#include "support/debug_log.h"

namespace {

using krelltest::CDebugLog;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using ::testing::Not;

// An IC that can hold null entries, as one built elsewhere may.
class TestIC : public CIntermediateConfiguration {
public:
    void AddNull(DWORD dwSectionId) { m_nodes[dwSectionId] = nullptr; }
    void Put(DWORD dwSectionId, std::unique_ptr<CICNode> pNode) { m_nodes[dwSectionId] = std::move(pNode); }
};

// A node whose Combine answers a chosen result and whose Clone can be made to fail.
class FakeNode : public CICNode {
public:
    FakeNode(DWORD dwCombineResult, bool bCloneFails)
        : m_dwCombine(dwCombineResult), m_bCloneFails(bCloneFails) {}
    DWORD GetType() const override { return 7; }
    CombineResult Combine(const CICNode&) override { return static_cast<CombineResult>(m_dwCombine); }
    bool IsEquivalentTo(const CICNode&) const override { return false; }
    bool GetData(const BYTE*&, DWORD&, CErrorStack*) override { return false; }
    std::unique_ptr<CICNode> Clone() const override {
        return m_bCloneFails ? nullptr : std::make_unique<FakeNode>(*this);
    }
    void Dump() const override {}

private:
    DWORD m_dwCombine;
    bool m_bCloneFails;
};

constexpr DWORD kOtherSection = 0x300;

// A direct node that can tell which instance a clone came from.
class TaggedDirectNode : public CICDirectNode {
public:
    TaggedDirectNode(std::string sTag, std::vector<BYTE> bytes) : m_sTag(std::move(sTag)) {
        EXPECT_TRUE(SetData(bytes.data(), static_cast<DWORD>(bytes.size())));
    }
    std::unique_ptr<CICNode> Clone() const override {
        const BYTE* pData = nullptr;
        DWORD cbData = 0;
        const_cast<TaggedDirectNode*>(this)->GetData(pData, cbData, nullptr);
        return std::make_unique<TaggedDirectNode>(m_sTag, std::vector<BYTE>(pData, pData + cbData));
    }
    const std::string& Tag() const { return m_sTag; }

private:
    std::string m_sTag;
};

CICDirectNode MakeDirect(std::vector<BYTE> bytes) {
    CICDirectNode node;
    EXPECT_TRUE(node.SetData(bytes.data(), static_cast<DWORD>(bytes.size())));
    return node;
}

CICRuleNode MakeRule(DWORD dwRSType, std::initializer_list<std::pair<DWORD, std::u16string>> values) {
    CICRuleNode node(dwRSType);
    for (const auto& [dwType, sValue] : values) {
        EXPECT_TRUE(node.Append(dwType, CICStringRuleValue(sValue)));
    }
    return node;
}

std::vector<BYTE> DataOf(CICNode& node, bool* pbResult = nullptr) {
    const BYTE* pData = nullptr;
    DWORD cbData = 0;
    const bool bResult = node.GetData(pData, cbData, nullptr);
    if (pbResult != nullptr) {
        *pbResult = bResult;
    }
    return pData == nullptr ? std::vector<BYTE>{} : std::vector<BYTE>(pData, pData + cbData);
}

// (type, string) pairs of a rule node's string values, in stored order.
std::vector<std::pair<DWORD, std::u16string>> StringsOf(const CICNode& node) {
    std::vector<std::pair<DWORD, std::u16string>> values;
    for (const auto& [dwType, pValue] : dynamic_cast<const CICRuleNode&>(node).Values()) {
        values.emplace_back(dwType, dynamic_cast<const CICStringRuleValue&>(*pValue).Value());
    }
    return values;
}

struct ValueCase {
    const char* szName;
    std::shared_ptr<IRuleValue> pA;
    std::shared_ptr<IRuleValue> pB;
    bool bEquivalent;
    const char* szLogged;  // the type-mismatch line, or null
};

std::vector<ValueCase> ValueCases() {
    const auto Int = [](LONGLONG ll) { return std::make_shared<CICIntegralRuleValue>(ll); };
    const auto Str = [](std::u16string s) { return std::make_shared<CICStringRuleValue>(std::move(s)); };
    const auto StrDw = [](std::u16string s, DWORD dw) {
        return std::make_shared<CICStringDWORDRuleValue>(std::move(s), dw);
    };
    return {
        {"same integer", Int(0x1122334455667788), Int(0x1122334455667788), true, nullptr},
        {"integers differing in the high half", Int(0x100000001), Int(1), false, nullptr},
        {"integer against string", Int(1), Str(u"1"), false,
         "CICIntegralRuleValue::IsEquivalentTo() - type mismatch"},
        {"strings differing in case", Str(u"C:\\Program Files\\Krell"), Str(u"c:\\PROGRAM files\\krell"),
         true, nullptr},
        {"different strings", Str(u"C:\\a"), Str(u"C:\\b"), false, nullptr},
        {"string prefix", Str(u"C:\\a"), Str(u"C:\\ab"), false, nullptr},
        {"string against string+number", Str(u"abc"), StrDw(u"abc", 0), false,
         "CICStringRuleValue::IsEquivalentTo() - type mismatch"},
        {"string+number differing in case", StrDw(u"DEADbeef", 42), StrDw(u"deadBEEF", 42), true, nullptr},
        {"string+number differing in number", StrDw(u"deadbeef", 42), StrDw(u"deadbeef", 43), false, nullptr},
        {"string+number differing in string", StrDw(u"deadbeef", 42), StrDw(u"deadbeee", 42), false, nullptr},
        {"string+number against string", StrDw(u"abc", 0), Str(u"abc"), false,
         "CICStringDWORDRuleValue::IsEquivalentTo() - type mismatch"},
    };
}

TEST(RuleValueTest, EquivalenceComparesClassValueAndStringIgnoringCase) {
    for (const ValueCase& c : ValueCases()) {
        SCOPED_TRACE(c.szName);
        const CDebugLog log;
        EXPECT_EQ(c.pA->IsEquivalentTo(*c.pB), c.bEquivalent);
        if (c.szLogged != nullptr) {
            EXPECT_THAT(log.Messages(), ElementsAre(c.szLogged));
        } else {
            EXPECT_THAT(log.Messages(), IsEmpty());
        }
        const std::unique_ptr<IRuleValue> pClone = c.pA->Clone();
        ASSERT_NE(pClone, nullptr);
        EXPECT_TRUE(pClone->IsEquivalentTo(*c.pA));
    }
}

TEST(RuleNodeTest, AppendFilesByTypeInInsertionOrderAndDropsEquivalentValues) {
    CICRuleNode node(RS_TYPE_PROTECTED_RESOURCES);
    ASSERT_TRUE(node.SetSerializedRules(reinterpret_cast<const BYTE*>("x"), 1));
    ASSERT_FALSE(node.IsDirty());
    EXPECT_TRUE(node.Append(PT_PROTECTED_PROCESS, CICStringRuleValue(u"b.exe")));
    EXPECT_TRUE(node.IsDirty());
    EXPECT_TRUE(node.Append(PT_PROTECTED_FILE, CICStringRuleValue(u"C:\\z")));
    EXPECT_TRUE(node.Append(PT_PROTECTED_PROCESS, CICStringRuleValue(u"a.exe")));
    EXPECT_TRUE(node.Append(PT_PROTECTED_PROCESS, CICStringRuleValue(u"B.EXE")));
    // The same string under another type is a separate value.
    EXPECT_TRUE(node.Append(PT_PROTECTED_FILE, CICStringRuleValue(u"b.exe")));
    EXPECT_THAT(StringsOf(node),
                ElementsAre(std::pair<DWORD, std::u16string>(PT_PROTECTED_FILE, u"C:\\z"),
                            std::pair<DWORD, std::u16string>(PT_PROTECTED_FILE, u"b.exe"),
                            std::pair<DWORD, std::u16string>(PT_PROTECTED_PROCESS, u"b.exe"),
                            std::pair<DWORD, std::u16string>(PT_PROTECTED_PROCESS, u"a.exe")));

    // Appending only a duplicate does not make a clean node dirty.
    ASSERT_TRUE(node.SetSerializedRules(reinterpret_cast<const BYTE*>("x"), 1));
    EXPECT_TRUE(node.Append(PT_PROTECTED_PROCESS, CICStringRuleValue(u"A.exe")));
    EXPECT_FALSE(node.IsDirty());
}

// Append drops a value exactly when the value is equivalent to one filed under its type, whatever
// classes the type holds, in the node and in its copies.
TEST(RuleNodeTest, AppendDropsExactlyTheEquivalentValues) {
    for (const ValueCase& c : ValueCases()) {
        SCOPED_TRACE(c.szName);
        CICRuleNode node(RS_TYPE_PROTECTED_RESOURCES);
        ASSERT_TRUE(node.Append(PT_PROTECTED_FILE, *c.pA));
        ASSERT_TRUE(node.Append(PT_PROTECTED_FILE, *c.pB));
        const std::size_t nExpected = c.bEquivalent ? 1 : 2;
        EXPECT_EQ(node.Values().size(), nExpected);
        // Both again, now into a copy and under a type of classes of both kinds.
        CICRuleNode copy(node);
        ASSERT_TRUE(copy.Append(PT_PROTECTED_FILE, *c.pB));
        ASSERT_TRUE(copy.Append(PT_PROTECTED_FILE, *c.pA));
        EXPECT_EQ(copy.Values().size(), nExpected);
        ASSERT_TRUE(copy.Append(PT_PROTECTED_PROCESS, *c.pB));
        EXPECT_EQ(copy.Values().size(), nExpected + 1);
    }
}

TEST(RuleNodeTest, ManyValuesKeepTheirOrderAndLoseTheirDuplicates) {
    CICRuleNode node(RS_TYPE_PROTECTED_RESOURCES);
    constexpr int VALUES = 5000;
    for (int i = 0; i < VALUES; ++i) {
        ASSERT_TRUE(node.Append(PT_PROTECTED_FILE,
                                CICStringRuleValue(u"C:\\Data\\f" + platform::FromUtf8(std::to_string(i)))));
        ASSERT_TRUE(
            node.Append(PT_PROTECTED_FILE,
                        CICStringRuleValue(u"c:\\DATA\\F" + platform::FromUtf8(std::to_string(i / 2)))));
    }
    ASSERT_EQ(node.Values().size(), static_cast<std::size_t>(VALUES));
    int i = 0;
    for (const auto& [dwType, pValue] : node.Values()) {
        EXPECT_EQ(static_cast<const CICStringRuleValue&>(*pValue).Value(),
                  u"C:\\Data\\f" + platform::FromUtf8(std::to_string(i++)));
    }
}

TEST(RuleNodeTest, EquivalenceComparesValuesInStoredOrderButNotTheRuleSetType) {
    struct Case {
        const char* szName;
        CICRuleNode other;
        bool bEquivalent;
    };
    const CICRuleNode node = MakeRule(0, {{2, u"C:\\a"}, {2, u"C:\\b"}, {3, u"S-1-5-18"}});
    const Case cases[] = {
        {"same values, other case, other rule set type",
         MakeRule(2, {{2, u"c:\\A"}, {2, u"C:\\B"}, {3, u"s-1-5-18"}}), true},
        {"same values in another order within a type",
         MakeRule(0, {{2, u"C:\\b"}, {2, u"C:\\a"}, {3, u"S-1-5-18"}}), false},
        {"a value missing", MakeRule(0, {{2, u"C:\\a"}, {2, u"C:\\b"}}), false},
        {"a value more", MakeRule(0, {{2, u"C:\\a"}, {2, u"C:\\b"}, {3, u"S-1-5-18"}, {8, u"C:\\t"}}), false},
        {"same strings under other types", MakeRule(0, {{2, u"C:\\a"}, {3, u"C:\\b"}, {3, u"S-1-5-18"}}),
         false},
        {"empty", CICRuleNode(0), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szName);
        EXPECT_EQ(node.IsEquivalentTo(c.other), c.bEquivalent);
        EXPECT_EQ(c.other.IsEquivalentTo(node), c.bEquivalent);
    }
    EXPECT_TRUE(CICRuleNode(0).IsEquivalentTo(CICRuleNode(1)));
    EXPECT_FALSE(CICRuleNode(0).IsEquivalentTo(CICDirectNode()));
    // Direct and shutdown nodes are never equivalent, not even to themselves.
    const CICDirectNode direct = MakeDirect({1, 2, 3});
    EXPECT_FALSE(direct.IsEquivalentTo(direct));
    EXPECT_FALSE(CICShutdownNode().IsEquivalentTo(CICShutdownNode()));
}

// Adding a node to a section that already holds one.
struct AddCase {
    const char* szName;
    std::function<void(TestIC&)> prepare;  // fills section 0x201
    std::shared_ptr<CICNode> pAdded;
    bool bResult;
    std::vector<std::string> logged;
    DWORD dwStoredType;
};

TEST(IntermediateConfigurationTest, AddNodeMergesReplacesOrFailsByNodeKind) {
    const auto Add = [](std::shared_ptr<CICNode> p) {
        return [p](TestIC& ic) { ASSERT_TRUE(ic.AddNode(0x201, *p)); };
    };
    const auto direct = std::make_shared<CICDirectNode>(MakeDirect({0xAB}));
    const auto rule = std::make_shared<CICRuleNode>(MakeRule(2, {{9, u"C:\\x"}}));
    const auto shutdown = std::make_shared<CICShutdownNode>();
    const AddCase cases[] = {
        {"rule into rule",
         Add(rule),
         std::make_shared<CICRuleNode>(MakeRule(0, {{9, u"C:\\y"}})),
         true,
         {"Combine() returned COMBINE_OK"},
         IC_NODE_RULE},
        {"direct over direct",
         Add(direct),
         std::make_shared<CICDirectNode>(MakeDirect({0xCD})),
         true,
         {"Combine() returned REPLACE"},
         IC_NODE_DIRECT},
        {"shutdown over shutdown",
         Add(shutdown),
         shutdown,
         true,
         {"Combine() returned REPLACE"},
         IC_NODE_SHUTDOWN},
        {"rule onto direct", Add(direct), rule, false, {"Combine() returned COMBINE_FAIL"}, IC_NODE_DIRECT},
        {"direct onto rule",
         Add(rule),
         direct,
         false,
         {"Attempted to combine rule node with non-rule node", "Combine() returned COMBINE_FAIL"},
         IC_NODE_RULE},
        {"direct onto shutdown",
         Add(shutdown),
         direct,
         false,
         {"Combine() returned COMBINE_FAIL"},
         IC_NODE_SHUTDOWN},
        {"shutdown onto direct",
         Add(direct),
         shutdown,
         false,
         {"Combine() returned COMBINE_FAIL"},
         IC_NODE_DIRECT},
        {"direct into a null entry",
         [](TestIC& ic) { ic.AddNull(0x201); },
         direct,
         true,
         {"Found NULL node in IC--replacing"},
         IC_NODE_DIRECT},
        {"unexpected combine result",
         Add(std::make_shared<FakeNode>(9, false)),
         direct,
         false,
         {"Combine() returned unexpected result"},
         7},
        {"replacement that cannot be cloned",
         Add(std::make_shared<FakeNode>(REPLACE, false)),
         std::make_shared<FakeNode>(REPLACE, true),
         false,
         {"Combine() returned REPLACE", "Couldn't add node--failed to clone"},
         0xFFFFFFFF},
        {"empty section, node that cannot be cloned",
         [](TestIC&) {},
         std::make_shared<FakeNode>(REPLACE, true),
         false,
         {"Couldn't add node--failed to clone"},
         0xFFFFFFFF},
    };
    for (const AddCase& c : cases) {
        SCOPED_TRACE(c.szName);
        TestIC ic;
        c.prepare(ic);
        const CDebugLog log;
        EXPECT_EQ(ic.AddNode(0x201, *c.pAdded), c.bResult);
        EXPECT_THAT(log.Messages(), ElementsAreArray(c.logged));
        const auto it = ic.Nodes().find(0x201);
        if (c.dwStoredType == 0xFFFFFFFF) {
            EXPECT_EQ(it, ic.Nodes().end());
            continue;
        }
        ASSERT_NE(it, ic.Nodes().end());
        ASSERT_NE(it->second, nullptr);
        EXPECT_EQ(it->second->GetType(), c.dwStoredType);
        EXPECT_NE(it->second.get(), c.pAdded.get());
    }
}

TEST(IntermediateConfigurationTest, AddNodeKeepsTheMergedContentAndTheFirstRuleSetType) {
    CIntermediateConfiguration ic;
    CICRuleNode first = MakeRule(RS_TYPE_PROTECTED_RESOURCES, {{9, u"C:\\a"}, {13, u"x.exe"}});
    ASSERT_TRUE(ic.AddNode(KTDATAFILE_GATEWARDEN_RULES_ID, first));
    // The IC holds a clone: later changes to the caller's node do not reach it.
    ASSERT_TRUE(first.Append(9, CICStringRuleValue(u"C:\\late")));
    ASSERT_TRUE(
        ic.AddNode(KTDATAFILE_GATEWARDEN_RULES_ID,
                   MakeRule(RS_TYPE_AUTHORIZATION, {{13, u"X.EXE"}, {9, u"C:\\b"}, {3, u"S-1-5-18"}})));
    const CICNode& merged = *ic.Nodes().at(KTDATAFILE_GATEWARDEN_RULES_ID);
    EXPECT_THAT(StringsOf(merged), ElementsAre(std::pair<DWORD, std::u16string>(3, u"S-1-5-18"),
                                               std::pair<DWORD, std::u16string>(9, u"C:\\a"),
                                               std::pair<DWORD, std::u16string>(9, u"C:\\b"),
                                               std::pair<DWORD, std::u16string>(13, u"x.exe")));
    EXPECT_EQ(dynamic_cast<const CICRuleNode&>(merged).GetRSType(), RS_TYPE_PROTECTED_RESOURCES);

    // The plug-in combined last wins a direct section.
    ASSERT_TRUE(ic.AddNode(KTDATAFILE_CONFIG_ID, MakeDirect({1, 1})));
    ASSERT_TRUE(ic.AddNode(KTDATAFILE_CONFIG_ID, MakeDirect({2, 2, 2})));
    EXPECT_EQ(DataOf(*ic.Nodes().at(KTDATAFILE_CONFIG_ID)), (std::vector<BYTE>{2, 2, 2}));
}

TEST(IntermediateConfigurationTest, CombineSkipsNullEntriesAndStopsAtTheFirstFailure) {
    TestIC other;
    ASSERT_TRUE(other.AddNode(KTDATAFILE_CONFIG_ID, MakeDirect({7})));
    other.AddNull(KTDATAFILE_GATEWARDEN_RULES_ID);
    ASSERT_TRUE(other.AddNode(KTDATAFILE_AUTHORIZATION_RULES_ID, MakeRule(0, {{2, u"C:\\a"}})));
    ASSERT_TRUE(other.AddNode(KTDATAFILE_LEGACY_INSTALL_ID, MakeDirect({9})));

    {
        CIntermediateConfiguration ic;
        const CDebugLog log;
        EXPECT_TRUE(ic.Combine(other));
        EXPECT_THAT(log.Messages(), ElementsAre("Tried to combine IC containing NULL node for section 513"));
        std::vector<DWORD> ids;
        for (const auto& [dwId, pNode] : ic.Nodes()) {
            ids.push_back(dwId);
        }
        EXPECT_THAT(ids, ElementsAre(KTDATAFILE_CONFIG_ID, KTDATAFILE_AUTHORIZATION_RULES_ID,
                                     KTDATAFILE_LEGACY_INSTALL_ID));
    }
    {
        // A direct node where the other IC has rules: the sections before stay, those after are not added.
        CIntermediateConfiguration ic;
        ASSERT_TRUE(ic.AddNode(KTDATAFILE_AUTHORIZATION_RULES_ID, MakeDirect({5})));
        const CDebugLog log;
        EXPECT_FALSE(ic.Combine(other));
        EXPECT_THAT(log.Messages(),
                    ElementsAre("Tried to combine IC containing NULL node for section 513",
                                "Combine() returned COMBINE_FAIL", "AddNode() returned false"));
        EXPECT_TRUE(ic.Nodes().contains(KTDATAFILE_CONFIG_ID));
        EXPECT_FALSE(ic.Nodes().contains(KTDATAFILE_LEGACY_INSTALL_ID));
        EXPECT_EQ(ic.Nodes().at(KTDATAFILE_AUTHORIZATION_RULES_ID)->GetType(), IC_NODE_DIRECT);
    }
}

TEST(IntermediateConfigurationTest, UpdateKeepsEquivalentRuleNodesWithTheirGeneratedRules) {
    const std::vector<BYTE> rules = {0x52, 0x55, 0x4C, 0x45};
    CIntermediateConfiguration cached;
    ASSERT_TRUE(cached.AddNode(KTDATAFILE_CONFIG_ID, MakeDirect({1, 0, 0, 0})));
    ASSERT_TRUE(cached.AddNode(KTDATAFILE_GATEWARDEN_RULES_ID, MakeRule(2, {{9, u"C:\\a"}})));
    ASSERT_TRUE(cached.AddNode(KTDATAFILE_AUTHORIZATION_RULES_ID, MakeRule(0, {{2, u"C:\\b"}})));
    ASSERT_TRUE(cached.AddNode(KTDATAFILE_LEGACY_INSTALL_ID, MakeDirect({4})));
    for (const DWORD dwId : {KTDATAFILE_GATEWARDEN_RULES_ID, KTDATAFILE_AUTHORIZATION_RULES_ID}) {
        ASSERT_TRUE(dynamic_cast<CICRuleNode&>(*cached.Nodes().at(dwId))
                        .SetSerializedRules(rules.data(), static_cast<DWORD>(rules.size())));
    }
    ASSERT_TRUE(cached.AddNode(kOtherSection, TaggedDirectNode("old", {1})));

    // Same direct bytes, an equivalent gatewarden node, changed authorization rules, no legacy section.
    CIntermediateConfiguration fresh;
    ASSERT_TRUE(fresh.AddNode(KTDATAFILE_CONFIG_ID, MakeDirect({1, 0, 0, 0})));
    ASSERT_TRUE(fresh.AddNode(kOtherSection, TaggedDirectNode("new", {1})));
    ASSERT_TRUE(fresh.AddNode(KTDATAFILE_GATEWARDEN_RULES_ID, MakeRule(2, {{9, u"c:\\A"}})));
    ASSERT_TRUE(fresh.AddNode(KTDATAFILE_AUTHORIZATION_RULES_ID, MakeRule(0, {{2, u"C:\\c"}})));

    const CDebugLog log;
    EXPECT_TRUE(cached.Update(fresh));
    EXPECT_THAT(log.Messages(), IsEmpty());
    EXPECT_FALSE(cached.Nodes().contains(KTDATAFILE_LEGACY_INSTALL_ID));
    EXPECT_EQ(cached.Nodes().size(), 4u);
    EXPECT_EQ(DataOf(*cached.Nodes().at(KTDATAFILE_CONFIG_ID)), (std::vector<BYTE>{1, 0, 0, 0}));
    // Identical bytes still replace a direct node.
    EXPECT_EQ(dynamic_cast<const TaggedDirectNode&>(*cached.Nodes().at(kOtherSection)).Tag(), "new");

    CICNode& gatewarden = *cached.Nodes().at(KTDATAFILE_GATEWARDEN_RULES_ID);
    {
        const CDebugLog getData;
        bool bResult = false;
        EXPECT_EQ(DataOf(gatewarden, &bResult), rules);
        EXPECT_TRUE(bResult);
        EXPECT_THAT(getData.Messages(), ElementsAre("CICRuleNode::GetData() - using cached data"));
    }

    CICNode& authorization = *cached.Nodes().at(KTDATAFILE_AUTHORIZATION_RULES_ID);
    EXPECT_THAT(StringsOf(authorization), ElementsAre(std::pair<DWORD, std::u16string>(2, u"C:\\c")));
    EXPECT_TRUE(dynamic_cast<CICRuleNode&>(authorization).IsDirty());
}

TEST(IntermediateConfigurationTest, UpdateReportsNullAndUnclonableNodes) {
    TestIC cached;
    ASSERT_TRUE(cached.AddNode(KTDATAFILE_CONFIG_ID, MakeDirect({1})));
    ASSERT_TRUE(cached.AddNode(KTDATAFILE_GATEWARDEN_RULES_ID, MakeRule(2, {{9, u"C:\\a"}})));
    const BYTE rules[] = {0x11};
    ASSERT_TRUE(dynamic_cast<CICRuleNode&>(*cached.Nodes().at(KTDATAFILE_GATEWARDEN_RULES_ID))
                    .SetSerializedRules(rules, 1));

    TestIC fresh;
    ASSERT_TRUE(fresh.AddNode(KTDATAFILE_CONFIG_ID, MakeDirect({2})));
    fresh.AddNull(KTDATAFILE_GATEWARDEN_RULES_ID);
    ASSERT_TRUE(fresh.AddNode(KTDATAFILE_LEGACY_INSTALL_ID, FakeNode(REPLACE, false)));
    {
        const CDebugLog log;
        EXPECT_TRUE(cached.Update(fresh));
        EXPECT_THAT(log.Messages(),
                    ElementsAre("CIntermediateConfiguration::Update() - provided node at index 513 is NULL"));
        // A null entry neither removes nor replaces what this IC holds for the section.
        EXPECT_FALSE(
            dynamic_cast<CICRuleNode&>(*cached.Nodes().at(KTDATAFILE_GATEWARDEN_RULES_ID)).IsDirty());
        EXPECT_EQ(DataOf(*cached.Nodes().at(KTDATAFILE_CONFIG_ID)), (std::vector<BYTE>{2}));
        EXPECT_EQ(cached.Nodes().at(KTDATAFILE_LEGACY_INSTALL_ID)->GetType(), 7u);
    }

    TestIC failing;
    ASSERT_TRUE(failing.AddNode(KTDATAFILE_CONFIG_ID, MakeDirect({3})));
    failing.Put(KTDATAFILE_LEGACY_INSTALL_ID, std::make_unique<FakeNode>(REPLACE, true));
    {
        const CDebugLog log;
        EXPECT_FALSE(cached.Update(failing));
        EXPECT_THAT(log.Messages(),
                    ElementsAre("CIntermediateConfiguration::Update() - couldn't clone node at index 1025"));
        EXPECT_EQ(DataOf(*cached.Nodes().at(KTDATAFILE_CONFIG_ID)), (std::vector<BYTE>{3}));
        EXPECT_FALSE(cached.Nodes().contains(KTDATAFILE_GATEWARDEN_RULES_ID));
        EXPECT_FALSE(cached.Nodes().contains(KTDATAFILE_LEGACY_INSTALL_ID));
    }
}

TEST(ICNodeTest, GetDataByNodeKind) {
    {
        CICShutdownNode node;
        const BYTE marker = 0;
        const BYTE* pData = &marker;
        DWORD cbData = 5;
        EXPECT_FALSE(node.GetData(pData, cbData, nullptr));
        EXPECT_EQ(pData, nullptr);
        EXPECT_EQ(cbData, 0u);
    }
    struct DirectCase {
        const char* szName;
        std::optional<std::vector<BYTE>> data;
        bool bResult;
    };
    const DirectCase directCases[] = {
        {"never set", std::nullopt, false},
        {"set empty", std::vector<BYTE>{}, false},
        {"one byte", std::vector<BYTE>{0}, true},
        {"protection state", std::vector<BYTE>{1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}, true},
    };
    for (const DirectCase& c : directCases) {
        SCOPED_TRACE(c.szName);
        CICDirectNode node;
        if (c.data) {
            ASSERT_TRUE(node.SetData(c.data->data(), static_cast<DWORD>(c.data->size())));
        }
        bool bResult = !c.bResult;
        const std::vector<BYTE> got = DataOf(node, &bResult);
        EXPECT_EQ(bResult, c.bResult);
        EXPECT_EQ(got, c.data.value_or(std::vector<BYTE>{}));
    }

    // A rule node regenerates while dirty; rules handed to it are served until the next change.
    CICRuleNode node(RS_TYPE_AUTHORIZATION);
    ASSERT_TRUE(node.Append(PT_AUTHORIZED_LOCATION, CICStringRuleValue(u"C:\\a")));
    {
        const CDebugLog log;
        bool bResult = true;
        EXPECT_THAT(DataOf(node, &bResult), IsEmpty());
        EXPECT_FALSE(bResult);
        EXPECT_THAT(log.Messages(), Contains("m_ruleConverter.GenerateSRTC() returned false"));
        EXPECT_TRUE(node.IsDirty());
    }
    const std::vector<BYTE> rules = {9, 8, 7, 6, 5};
    ASSERT_TRUE(node.SetSerializedRules(rules.data(), static_cast<DWORD>(rules.size())));
    for (int i = 0; i < 2; ++i) {
        const CDebugLog log;
        bool bResult = false;
        EXPECT_EQ(DataOf(node, &bResult), rules);
        EXPECT_TRUE(bResult);
        EXPECT_THAT(log.Messages(), ElementsAre("CICRuleNode::GetData() - using cached data"));
    }
    ASSERT_TRUE(node.Append(PT_AUTHORIZED_LOCATION, CICStringRuleValue(u"C:\\b")));
    {
        const CDebugLog log;
        bool bResult = true;
        DataOf(node, &bResult);
        EXPECT_FALSE(bResult);
        EXPECT_THAT(log.Messages(), Not(Contains("CICRuleNode::GetData() - using cached data")));
    }
}

TEST(ICNodeTest, DumpWritesEveryValueAtLevelThree) {
    struct Case {
        const char* szName;
        std::function<void()> dump;
        std::vector<std::string> expected;
    };
    CICRuleNode rule(RS_TYPE_PROTECTED_RESOURCES);
    ASSERT_TRUE(rule.Append(PT_DISABLED_PROTECTION_EXPIRES, CICIntegralRuleValue(0x01D9A2B3C4D5E6F7)));
    ASSERT_TRUE(rule.Append(PT_FILE_PROTECTION_ENABLED, CICIntegralRuleValue(1)));
    ASSERT_TRUE(rule.Append(PT_PROTECTED_FILE, CICStringRuleValue(u"C:\\Krell\\\u00E9.dat")));
    ASSERT_TRUE(rule.Append(PT_AUTHORIZED_SHA1_WITH_LENGTH, CICStringDWORDRuleValue(u"0A1B", 0x1F00)));
    const CICDirectNode direct = MakeDirect({0x00, 0x0A, 0x10, 0xFF, 0x07});
    const Case cases[] = {
        {"shutdown", [] { CICShutdownNode().Dump(); }, {"Dumping Shutdown Node (no data to dump)"}},
        {"direct", [&] { direct.Dump(); }, {"Dumping Direct Node (m_size = 5):\n0A10FF7"}},
        {"empty direct", [] { CICDirectNode().Dump(); }, {"Dumping Direct Node (m_size = 0):"}},
        {"rule",
         [&] { rule.Dump(); },
         {"Dumping Rule Node (primitives = 4)", "Rule Primitive Type = 4", "string = 0A1B\ndword = 1F00",
          "Rule Primitive Type = 9", "string = C:\\Krell\\\xC3\xA9.dat", "Rule Primitive Type = 16",
          "int64 =              0X1", "Rule Primitive Type = 19", "int64 = 0X1D9A2B3C4D5E6F7"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szName);
        const CDebugLog log;
        c.dump();
        EXPECT_THAT(log.Messages(), ElementsAreArray(c.expected));
    }
    EXPECT_EQ(rule.GetRSType(), RS_TYPE_PROTECTED_RESOURCES);
}

TEST(ICNodeTest, RuleNodeCopiesAreIndependentAndKeepTheGeneratedRules) {
    const std::vector<BYTE> rules = {1, 2, 3};
    CICRuleNode source = MakeRule(RS_TYPE_PROTECTED_RESOURCES, {{9, u"C:\\a"}, {13, u"p.exe"}});
    ASSERT_TRUE(source.SetSerializedRules(rules.data(), static_cast<DWORD>(rules.size())));

    CICRuleNode target = MakeRule(RS_TYPE_AUTHORIZATION, {{2, u"C:\\old"}});
    target = source;
    EXPECT_EQ(target.GetRSType(), RS_TYPE_PROTECTED_RESOURCES);
    EXPECT_THAT(StringsOf(target), ElementsAre(std::pair<DWORD, std::u16string>(9, u"C:\\a"),
                                               std::pair<DWORD, std::u16string>(13, u"p.exe")));
    EXPECT_FALSE(target.IsDirty());
    EXPECT_EQ(DataOf(target), rules);

    // Changing either side leaves the other as it was.
    ASSERT_TRUE(source.Append(9, CICStringRuleValue(u"C:\\new")));
    EXPECT_TRUE(source.IsDirty());
    EXPECT_FALSE(target.IsDirty());
    EXPECT_EQ(StringsOf(target).size(), 2u);
    const std::vector<BYTE> other = {4};
    ASSERT_TRUE(target.SetSerializedRules(other.data(), 1));
    EXPECT_EQ(StringsOf(source).size(), 3u);
    ASSERT_NE(source.RuleConverter().GetSerializedRulesData(), nullptr);
    EXPECT_EQ(source.RuleConverter().GetSerializedRulesData()[0], 1);

    // A dirty source gives a dirty copy, and a clone is a copy.
    const std::unique_ptr<CICNode> pClone = source.Clone();
    ASSERT_NE(pClone, nullptr);
    EXPECT_TRUE(dynamic_cast<CICRuleNode&>(*pClone).IsDirty());
    EXPECT_TRUE(pClone->IsEquivalentTo(source));

    // Direct nodes clone their bytes, not a shared buffer.
    CICDirectNode direct = MakeDirect({5, 6});
    const std::unique_ptr<CICNode> pDirectClone = direct.Clone();
    ASSERT_TRUE(direct.SetData(other.data(), 1));
    EXPECT_EQ(DataOf(*pDirectClone), (std::vector<BYTE>{5, 6}));
}

}  // namespace

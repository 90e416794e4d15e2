// XML document access: loading with and without creation, root replacement,
// element paths with indexes and creation, saving.
#include "config/xml.h"

#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "testkit/files.h"
#include "testkit/isolation.h"

namespace {

class XmlTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(temp.Error(), "");
        dir = temp.Dir();
    }
    void TearDown() override {
        if (document != nullptr) xmlFreeDoc(document);
    }
    std::string Path(const char *name) { return dir + "/" + name; }
    xmlDocPtr Load(const char *content) {
        WriteFile(Path("c.xml"), content);
        if (document != nullptr) xmlFreeDoc(document);
        document = LoadXmlDocument(Path("c.xml").c_str(), false);
        return document;
    }
    std::string Name(xmlNodePtr node) {
        return node == nullptr ? "(none)" : reinterpret_cast<const char *>(node->name);
    }
    std::string Content(xmlNodePtr node) {
        if (node == nullptr) return "(none)";
        xmlChar *text = xmlNodeGetContent(node);
        std::string result = text != nullptr ? reinterpret_cast<const char *>(text) : "";
        xmlFree(text);
        return result;
    }

    TempDir temp{"korvane-xml"};
    std::string dir;
    xmlDocPtr document = nullptr;
};

TEST_F(XmlTest, LoadingMissingDamagedAndBlankFiles) {
    EXPECT_EQ(LoadXmlDocument(nullptr, true), nullptr);
    EXPECT_EQ(LoadXmlDocument(Path("missing.xml").c_str(), false), nullptr);
    xmlDocPtr empty = LoadXmlDocument(Path("missing.xml").c_str(), true);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(xmlDocGetRootElement(empty), nullptr);
    EXPECT_STREQ(reinterpret_cast<const char *>(empty->version), "1.0");
    xmlFreeDoc(empty);

    // A truncated file yields what can be recovered, and white space between
    // elements is dropped.
    ASSERT_NE(Load("<a>\n  <b>x</b>\n  <c>y"), nullptr);
    xmlNodePtr root = xmlDocGetRootElement(document);
    EXPECT_EQ(Name(root), "a");
    EXPECT_EQ(Name(root->children), "b") << "no blank text node before b";
    EXPECT_EQ(Content(FindElement(root, "c", false)), "y");
}

TEST_F(XmlTest, RootIsFoundIgnoringCaseOrReplaced) {
    Load("<korvaneconfiguration><Port>1</Port></korvaneconfiguration>");
    EXPECT_EQ(Name(GetRootElement(document, "KorvaneConfiguration", false)),
              "korvaneconfiguration");
    Load("<Other><Port>1</Port></Other>");
    EXPECT_EQ(GetRootElement(document, "KorvaneConfiguration", false), nullptr);
    xmlNodePtr root = GetRootElement(document, "KorvaneConfiguration", true);
    EXPECT_EQ(Name(root), "KorvaneConfiguration");
    EXPECT_EQ(root->children, nullptr) << "the old subtree is gone";
    EXPECT_EQ(xmlDocGetRootElement(document), root);
}

TEST_F(XmlTest, ElementPaths) {
    Load("<r><A><B>1</B><b>2</b><B>3</B></A><a><B>4</B></a></r>");
    xmlNodePtr root = xmlDocGetRootElement(document);
    struct Case {
        const char *path;
        const char *content;  // "(none)" when not found
    } const cases[] = {
        {"A/B", "1"},         {"A//B", "1"},         {"/A/B", "1"},   {"a/b", "1"},
        {"A/B[2]", "2"},      {"A/B[3]", "3"},       {"A/B[0]", "1"}, {"A/B[1]", "1"},
        {"A/B[4]", "(none)"}, {"A/B[-1]", "(none)"}, {"A[2]/B", "4"}, {"Z", "(none)"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(Content(FindElement(root, c.path, false)), c.content) << c.path;
    }
    EXPECT_EQ(FindElement(root, "", false), root);
    EXPECT_EQ(FindElement(root, nullptr, false), root);
}

TEST_F(XmlTest, CreationAppendsOneEmptyElementPerMissingSegment) {
    Load("<r><A>1</A></r>");
    xmlNodePtr root = xmlDocGetRootElement(document);
    xmlNodePtr port = FindElement(root, "Port", true);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(xmlGetLastChild(root), port) << "appended as the last child";
    EXPECT_EQ(port->children, nullptr);
    EXPECT_EQ(FindElement(root, "Port", true), port) << "found the second time";
    xmlNodePtr deep = FindElement(root, "X/Y[3]", true);
    EXPECT_EQ(Name(deep), "Y");
    EXPECT_EQ(FindElement(root, "X/Y", false), deep) << "an index creates only one element";
}

TEST_F(XmlTest, SavingIndentsAndReportsFailure) {
    Load("<r><A>1</A><B On=\"true\">{EPC}&amp;</B></r>");
    ASSERT_EQ(SaveXmlDocument(Path("c.xml").c_str(), document), 0);
    std::string saved = ReadFile(Path("c.xml"));
    EXPECT_NE(saved.find("<?xml version=\"1.0\" encoding=\"utf-8\"?>"), std::string::npos) << saved;
    EXPECT_NE(saved.find("\n  <A>1</A>\n"), std::string::npos) << saved;
    EXPECT_NE(saved.find("{EPC}&amp;"), std::string::npos) << saved;
    EXPECT_EQ(SaveXmlDocument(Path("no/such/dir/c.xml").c_str(), document), 1);
    EXPECT_EQ(SaveXmlDocument(nullptr, document), 1);
}

}  // namespace

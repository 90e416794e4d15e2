// XML access: loading with and without creation, element paths with indexes
// and creation, saving, and the root found or replaced.
#include "config/xml.h"

#include <gtest/gtest.h>
#include <libxml/tree.h>

#include <string>

#include "testkit/files.h"

namespace {

std::string Content(xmlNodePtr node) {
    if (node == nullptr) return "(none)";
    xmlChar *text = xmlNodeGetContent(node);
    std::string content = reinterpret_cast<const char *>(text);
    xmlFree(text);
    return content;
}

TEST(Xml, LoadFindCreateSaveAndReplaceTheRoot) {
    TempDir dir("korvane-xml");
    ASSERT_EQ(dir.Error(), "");
    const std::string path = dir.Path("c.xml");
    EXPECT_EQ(LoadXmlDocument(path.c_str(), false), nullptr);
    xmlDocPtr document = LoadXmlDocument(path.c_str(), true);
    ASSERT_NE(document, nullptr);
    EXPECT_EQ(xmlDocGetRootElement(document), nullptr);
    xmlFreeDoc(document);

    // A cut file gives what can be recovered, without blank text nodes.
    ASSERT_TRUE(
        WriteFile(path, "<r>\n <A><B>1</B><b>2</b><B>3</B></A>\n <a><B>4</B></a>\n <C>&amp;"));
    document = LoadXmlDocument(path.c_str(), false);
    ASSERT_NE(document, nullptr);
    xmlNodePtr root = xmlDocGetRootElement(document);
    EXPECT_EQ(root->children->type, XML_ELEMENT_NODE);
    const char *const paths[][2] = {{"A/B", "1"},         {"A//B", "1"},         {"/a/b", "1"},
                                    {"A/B[2]", "2"},      {"A/B[3]", "3"},       {"A/B[0]", "1"},
                                    {"A/B[4]", "(none)"}, {"A/B[-1]", "(none)"}, {"A[2]/B", "4"},
                                    {"C", "&"},           {"Z", "(none)"},       {"", "1234&"}};
    for (const auto &row : paths)
        EXPECT_EQ(Content(FindElement(root, row[0], false)), row[1]) << row[0];

    // Creation appends one empty element per missing segment, whatever the index.
    xmlNodePtr made = FindElement(root, "X/Y[3]", true);
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(made->parent, xmlGetLastChild(root));
    EXPECT_EQ(FindElement(root, "x/y", true), made);

    ASSERT_EQ(SaveXmlDocument(path.c_str(), document), 0);
    EXPECT_EQ(ReadFile(path),
              "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<r>\n  <A>\n    <B>1</B>\n    <b>2</b>\n"
              "    <B>3</B>\n  </A>\n  <a>\n    <B>4</B>\n  </a>\n  <C>&amp;</C>\n  <X>\n"
              "    <Y/>\n  </X>\n</r>\n");
    EXPECT_EQ(SaveXmlDocument(dir.Path("none/c.xml").c_str(), document), 1);

    EXPECT_EQ(GetRootElement(document, "R", false), root);
    EXPECT_EQ(GetRootElement(document, "KorvaneConfiguration", false), nullptr);
    xmlNodePtr fresh = GetRootElement(document, "KorvaneConfiguration", true);
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(xmlDocGetRootElement(document), fresh);
    EXPECT_EQ(fresh->children, nullptr);
    xmlFreeDoc(document);
}

}  // namespace

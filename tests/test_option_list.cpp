// Lists, option lookups with their default reports, and the .data / .names / hierarchy readers.
#include "list.h"
#include "option_list.h"
#include "tree.h"
#include "utils.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// A temporary file holding text, removed with the object.
struct TempFile {
    std::string path;
    explicit TempFile(const std::string &text)
    {
        char name[] = "/tmp/quillon_opt_XXXXXX";
        int fd = mkstemp(name);
        path = name;
        if (write(fd, text.data(), text.size()) != (ssize_t)text.size()) ADD_FAILURE() << "short write";
        close(fd);
    }
    ~TempFile() { remove(path.c_str()); }
};

list *options_of(std::initializer_list<std::pair<const char *, const char *>> kv)
{
    list *l = make_list();
    for (auto &p : kv) option_insert(l, copy_string(p.first), p.second ? copy_string(p.second) : nullptr);
    return l;
}

void free_test_options(list *l)
{
    for (node *n = l->front; n; n = n->next) {
        kvp *p = (kvp *)n->val;
        free(p->key);
        free(p->val);
        free(p);
    }
    free_list(l);
}

std::vector<std::pair<std::string, std::string>> kvps(list *l)
{
    std::vector<std::pair<std::string, std::string>> out;
    for (node *n = l->front; n; n = n->next) {
        kvp *p = (kvp *)n->val;
        out.emplace_back(p->key, p->val ? p->val : "<null>");
    }
    return out;
}

}  // namespace

TEST(List, InsertKeepsOrderAndLinks)
{
    list *l = make_list();
    EXPECT_EQ(l->size, 0);
    EXPECT_EQ(l->front, nullptr);
    EXPECT_EQ(l->back, nullptr);
    int v[3] = {1, 2, 3};
    for (int &x : v) list_insert(l, &x);
    EXPECT_EQ(l->size, 3);
    EXPECT_EQ(l->front->prev, nullptr);
    EXPECT_EQ(l->back->next, nullptr);
    EXPECT_EQ(l->back->prev->prev, l->front);
    void **a = list_to_array(l);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(a[i], &v[i]);
    EXPECT_EQ(l->size, 3);
    free(a);
    free_list(l);
}

TEST(List, EmptyListToArray)
{
    list *l = make_list();
    void **a = list_to_array(l);
    free(a);
    free_list(l);
}

TEST(OptionList, FindMarksUsedAndReturnsFirstDuplicate)
{
    list *l = options_of({{"batch", "64"}, {"Batch", "8"}, {"batch", "32"}, {"random", nullptr}});
    EXPECT_EQ(option_find_int(l, "batch", 1), 64);
    EXPECT_EQ(option_find(l, "missing"), nullptr);
    testing::internal::CaptureStderr();
    EXPECT_EQ(option_find_int(l, "random", 0), 0);
    option_unused(l);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "random: Using default '0'\nUnused field: 'Batch = 8'\nUnused field: 'batch = 32'\n");
    free_test_options(l);
}

TEST(OptionList, DefaultsAndTheirReports)
{
    list *l = options_of({{"f", "2.5#c"}, {"i", "64#x"}, {"s", "leaky"}, {"n", nullptr}});
    testing::internal::CaptureStderr();
    EXPECT_FLOAT_EQ(option_find_float(l, "f", 1), 2.5f);
    EXPECT_EQ(option_find_int(l, "i", 1), 64);
    EXPECT_STREQ(option_find_str(l, "s", "x"), "leaky");
    EXPECT_FLOAT_EQ(option_find_float(l, "absent_f", 0.5f), 0.5f);
    EXPECT_EQ(option_find_int(l, "absent_i", -3), -3);
    EXPECT_STREQ(option_find_str(l, "n", "linear"), "linear");
    EXPECT_EQ(option_find_str(l, "absent_s", nullptr), nullptr);
    EXPECT_FLOAT_EQ(option_find_float_quiet(l, "q1", 7), 7);
    EXPECT_EQ(option_find_int_quiet(l, "q2", 9), 9);
    EXPECT_STREQ(option_find_str_quiet(l, "q3", "d"), "d");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "absent_f: Using default '0.500000'\nabsent_i: Using default '-3'\nn: Using default 'linear'\n");
    free_test_options(l);
}

TEST(OptionList, StripAndSplit)
{
    char line[] = " steps = 400, 450 \r\n";
    strip_whitespace(line);
    EXPECT_STREQ(line, "steps=400,450");
    list *l = make_list();
    EXPECT_EQ(read_option(copy_string("a=b=c"), l), 1);
    EXPECT_EQ(read_option(copy_string("word"), l), 1);
    char *bad = copy_string("learning_rate=");
    EXPECT_EQ(read_option(bad, l), 0);
    EXPECT_STREQ(bad, "learning_rate");
    free(bad);
    EXPECT_EQ(kvps(l), (std::vector<std::pair<std::string, std::string>>{{"a", "b=c"}, {"word", "<null>"}}));
    free_options(l);
}

TEST(OptionList, ReadDataOptions)
{
    TempFile f("# comment\nclasses= 80\n; other\n\n[net]\ntrain = a b/c.txt\r\nvalid=\nnames=x=y\n");
    testing::internal::CaptureStderr();
    list *l = read_data_options(f.path.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Config file error line 7, could parse: valid\n");
    EXPECT_EQ(kvps(l), (std::vector<std::pair<std::string, std::string>>{
                           {"classes", "80"}, {"[net]", "<null>"}, {"train", "ab/c.txt"}, {"names", "x=y"}}));
    free_options(l);
}

TEST(OptionList, ReadLineListKeepsLinesUnchanged)
{
    TempFile f("person\n  traffic light \r\n\n# not a comment\nlast");
    list *l = read_line_list(f.path.c_str());
    std::vector<std::string> lines;
    for (node *n = l->front; n; n = n->next) lines.emplace_back((char *)n->val);
    EXPECT_EQ(lines, (std::vector<std::string>{"person", "  traffic light ", "", "# not a comment", "last"}));
    for (node *n = l->front; n; n = n->next) free(n->val);
    free_list(l);
}

TEST(OptionListDeath, UnopenableFiles)
{
    EXPECT_EXIT(read_data_options("/nonexistent/a.data"), testing::ExitedWithCode(1),
                "^Couldn't open file: /nonexistent/a.data\n$");
    EXPECT_EXIT(read_line_list("/nonexistent/a.names"), testing::ExitedWithCode(1),
                "^Couldn't open file: /nonexistent/a.names\n$");
    EXPECT_EXIT(read_tree("/nonexistent/tree.txt"), testing::ExitedWithCode(1),
                "^Couldn't open file: /nonexistent/tree.txt\n$");
    TempFile data("names=/nonexistent/x.names\n");
    EXPECT_EXIT(get_metadata(data.path.c_str()), testing::ExitedWithCode(1), "Couldn't open file: /nonexistent/x.names\n");
}

TEST(Metadata, NamesAndClasses)
{
    TempFile names("person\nbicycle\ncar\n");
    TempFile data("classes= 80\nnames = " + names.path + "\n");
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    metadata m = get_metadata(data.path.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Loaded - names_list: " + names.path + ", classes = 80 \n");
    EXPECT_EQ(m.classes, 80);
    ASSERT_NE(m.names, nullptr);
    EXPECT_STREQ(m.names[0], "person");
    EXPECT_STREQ(m.names[2], "car");
    free_ptrs((void **)m.names, 3);
}

TEST(Metadata, LabelsKeyAndDefaults)
{
    TempFile names("a\n");
    TempFile data("names=\nlabels=" + names.path + "\n");
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    metadata m = get_metadata(data.path.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Config file error line 1, could parse: names\nclasses: Using default '2'\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Loaded - names_list: " + names.path + ", classes = 2 \n");
    EXPECT_EQ(m.classes, 2);
    free_ptrs((void **)m.names, 1);

    TempFile bare("classes=3\n");
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    m = get_metadata(bare.path.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "No names or labels found\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(m.classes, 3);
    EXPECT_EQ(m.names, nullptr);
}

namespace {

std::vector<int> ints(const int *a, int n) { return std::vector<int>(a, a + n); }

void free_tree(tree *t)
{
    for (int i = 0; i < t->n; ++i) free(t->name[i]);
    free(t->name);
    free(t->leaf);
    free(t->parent);
    free(t->group);
    free(t->group_size);
    free(t->group_offset);
    free(t);
}

}  // namespace

TEST(Tree, GroupsAndLeaves)
{
    TempFile f("a -1\nb -1\nc 0\n");
    tree *t = read_tree(f.path.c_str());
    EXPECT_EQ(t->n, 3);
    EXPECT_EQ(ints(t->parent, 3), (std::vector<int>{-1, -1, 0}));
    EXPECT_EQ(t->groups, 2);
    EXPECT_EQ(ints(t->group, 3), (std::vector<int>{0, 0, 1}));
    EXPECT_EQ(ints(t->group_size, 2), (std::vector<int>{2, 1}));
    EXPECT_EQ(ints(t->group_offset, 2), (std::vector<int>{0, 2}));
    EXPECT_EQ(ints(t->leaf, 3), (std::vector<int>{0, 1, 1}));
    EXPECT_STREQ(t->name[2], "c");
    EXPECT_EQ(t->child, nullptr);
    free_tree(t);
}

TEST(Tree, FirstLineWithParentLeavesGroupZeroEmpty)
{
    // A missing number means no parent.
    TempFile f("root\nx 0\ny 0\nz 1\nw\n");
    tree *t = read_tree(f.path.c_str());
    EXPECT_EQ(t->n, 5);
    EXPECT_EQ(ints(t->parent, 5), (std::vector<int>{-1, 0, 0, 1, -1}));
    EXPECT_EQ(t->groups, 4);
    EXPECT_EQ(ints(t->group, 5), (std::vector<int>{0, 1, 1, 2, 3}));
    EXPECT_EQ(ints(t->group_size, 4), (std::vector<int>{1, 2, 1, 1}));
    EXPECT_EQ(ints(t->group_offset, 4), (std::vector<int>{0, 1, 3, 4}));
    EXPECT_EQ(ints(t->leaf, 5), (std::vector<int>{0, 0, 1, 1, 1}));
    free_tree(t);

    TempFile g("child 1\nroot\n");
    t = read_tree(g.path.c_str());
    EXPECT_EQ(t->groups, 3);
    EXPECT_EQ(ints(t->group, 2), (std::vector<int>{1, 2}));
    EXPECT_EQ(ints(t->group_size, 3), (std::vector<int>{0, 1, 1}));
    EXPECT_EQ(ints(t->group_offset, 3), (std::vector<int>{0, 0, 1}));
    EXPECT_EQ(ints(t->leaf, 2), (std::vector<int>{1, 0}));
    free_tree(t);
}

TEST(TreeDeath, MalformedHierarchies)
{
    TempFile ahead("a -1\nb 2\n");
    EXPECT_EXIT(read_tree(ahead.path.c_str()), testing::ExitedWithCode(1),
                "Hierarchy file .*, line 2: parent index does not name a line\n");
    TempFile huge("a 99999999999999999999\n");
    EXPECT_EXIT(read_tree(huge.path.c_str()), testing::ExitedWithCode(1), "line 1: parent index");
    TempFile long_name(std::string(256, 'n') + " -1\n");
    EXPECT_EXIT(read_tree(long_name.path.c_str()), testing::ExitedWithCode(1),
                "line 1: class name longer than 255 characters\n");
    TempFile fits(std::string(255, 'n') + " -1\n");
    tree *t = read_tree(fits.path.c_str());
    EXPECT_EQ(strlen(t->name[0]), 255u);
    free_tree(t);
}

TEST(Tree, EmptyFile)
{
    TempFile f("");
    tree *t = read_tree(f.path.c_str());
    EXPECT_EQ(t->n, 0);
    EXPECT_EQ(t->groups, 1);
    EXPECT_EQ(t->group_size[0], 0);
    free_tree(t);
}

// Writes the fuzzer's seed corpus: for every registered class, a default object stored by
// value and as a pointer, each after the byte that selects the class; trained tools of every
// technique and their classifiers; plus deep and shared structures of the fuzz node class. Usage: make_corpus DIRECTORY
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <typeinfo>
#include <vector>

#include "fuzz/fuzz_types.h"
#include "fuzz/value_types.h"
#include "platform/archive.h"

namespace {

void write(const std::string& dir, const std::string& file, std::size_t index, const std::string& bytes) {
    std::ofstream out(dir + "/" + file, std::ios::binary);
    out << static_cast<char>(index) << bytes;
}

template <class Store>
bool bytesOf(Store&& storeInto, std::string& bytes) {
    std::ostringstream out;
    try {
        tqArchive ar(out);
        storeInto(ar);
    } catch (const tqException& e) {
        std::cerr << "skipped: " << e.what() << "\n";
        return false;
    }
    bytes = out.str();
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: make_corpus DIRECTORY\n";
        return 2;
    }
    const std::string dir = argv[1];
    const std::vector<std::string> names = tfRegisteredTypeNames();
    std::size_t nodeIndex = 0;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (names[i] == "fuzz::Node") nodeIndex = i;
        std::unique_ptr<tqPersistent> object(tfMakeRegistered(names[i]));
        std::string bytes;
        if (bytesOf([&](tqArchive& ar) { ar || *object; }, bytes))
            write(dir, "value-" + std::to_string(i), i, bytes);
        tqPersistent* ignored = nullptr;
        if (auto* rep = dynamic_cast<tqRepBase*>(object.get())) {
            tqPtrHandle<tqRepBase> handle(rep);
            object.release();
            if (bytesOf([&](tqArchive& ar) { ar || handle; }, bytes))
                write(dir, "pointer-" + std::to_string(i), i, bytes);
        } else if (bytesOf([&](tqArchive& ar) { ar.serializePointer(object.get(), ignored); }, bytes)) {
            write(dir, "pointer-" + std::to_string(i), i, bytes);
        }
    }
    // Value classes follow the registered ones.
    const std::vector<fuzz::ValueType>& values = fuzz::valueTypes();
    for (std::size_t i = 0; i < values.size(); ++i) {
        std::string bytes;
        if (values[i].sample(bytes)) write(dir, "value-" + std::to_string(names.size() + i), names.size() + i, bytes);
    }
    // Trained tools of every technique by value, and their classifiers as pointers: a tool
    // stores its version byte and then its classifier as a pointer.
    std::size_t toolIndex = names.size();
    while (toolIndex - names.size() < values.size() && std::string(values[toolIndex - names.size()].name) != "tqClassifierTool")
        ++toolIndex;
    const std::vector<tqClassifierTool> tools = fuzz::sampleTools();
    for (std::size_t t = 0; t < tools.size(); ++t) {
        tqClassifierTool tool = tools[t];
        std::string bytes;
        if (!bytesOf([&](tqArchive& ar) { ar || tool; }, bytes)) continue;
        write(dir, "value-trained-tool-" + std::to_string(t), toolIndex, bytes);
        const std::string classifierBytes = bytes.substr(1);
        tqPtrHandle<tqRepBase> classifier;
        std::istringstream in(classifierBytes);
        tqArchive ar(in);
        ar || classifier;
        const tqRepBase* loaded = classifier.get();
        const std::type_info& type = typeid(*loaded);
        for (std::size_t i = 0; i < names.size(); ++i) {
            const std::unique_ptr<tqPersistent> probe(tfMakeRegistered(names[i]));
            const tqPersistent* made = probe.get();
            if (made && typeid(*made) == type)
                write(dir, "pointer-trained-classifier-" + std::to_string(t), i, classifierBytes);
        }
    }
    // A decision tree deeper than the inline limit whose nodes share leaves and predicates.
    std::size_t treeIndex = 0;
    for (std::size_t i = 0; i < names.size(); ++i)
        if (names[i] == "tqDecisionTreeNode") treeIndex = i;
    const tqDecisionTreeLeaf leaf;
    tqPtrHandle<tqDecisionTree> tree(new tqDecisionTreeLeaf);
    for (long i = 0; i < tqArchive::kMaxInlineDepth + 6; ++i)
        tree = tqDecisionTreeNode(tqComparisonPredicate(0, 1), leaf, *tree).clone();
    std::string treeBytes;
    if (bytesOf([&](tqArchive& ar) { ar || tree; }, treeBytes)) write(dir, "pointer-tree-chain", treeIndex, treeBytes);
    // A chain a little deeper than the inline limit, sharing one node and holding an error
    // object elsewhere: deferred contents, back-references and the wrong-type rule.
    tqPtrHandle<fuzz::Node> shared(new fuzz::Node);
    shared->value = 99;
    tqPtrHandle<fuzz::Node> head;
    for (long i = tqArchive::kMaxInlineDepth + 2; i >= 0; --i) {
        tqPtrHandle<fuzz::Node> node(new fuzz::Node);
        node->value = i;
        node->left = head;
        if (i % 16 == 0) node->right = shared;
        head = node;
    }
    std::string bytes;
    if (bytesOf([&](tqArchive& ar) { ar || head; }, bytes))
        write(dir, "pointer-deep-chain", nodeIndex, bytes);
    if (bytesOf([&](tqArchive& ar) { ar || *head; }, bytes)) write(dir, "value-deep-chain", nodeIndex, bytes);
    return 0;
}

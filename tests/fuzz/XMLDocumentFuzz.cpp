// The document layer over arbitrary files: parsing never crashes, a document it accepted is
// written to a file that parses again, and from then on every rewrite is byte for byte the same
// (a file rewritten on every pass must not grow or drift). The first write may still change
// whitespace the pretty-printer lays out differently from the input.
#include <cstdint>
#include <memory>

#include "FuzzSupport.h"
#include "xml/CXMLFileImpl.h"
#include "xml/CXMLNode.h"

namespace {

// Parses path; on success writes it (to itself) and returns the written bytes.
bool ParseAndWrite(const std::string& path, std::string& written) {
    const auto file = std::make_unique<CXMLFileImpl>(path.c_str());
    if (!file->Parse() || file->GetRootNode() == nullptr) return false;
    FUZZ_ASSERT(file->Write());
    written = ReadBytes(path);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = XMLFuzzScratch().File("document.xml");
    WriteBytes(path, data, size);
    std::string first;
    if (!ParseAndWrite(path, first)) return 0;
    std::string second;
    FUZZ_ASSERT(ParseAndWrite(path, second));
    std::string third;
    FUZZ_ASSERT(ParseAndWrite(path, third));
    FUZZ_ASSERT(second == third);
    return 0;
}

// Builds .x text from the fuzzer's bytes with a small grammar of frames, meshes, materials,
// references by name and GUID, unknown wrappers and animations, so that the fuzzer reaches
// the shapes that cost loaders most and that mutated bytes seldom form: references to
// references, long bursts of them, cycles, deep nesting and large counts. The text then
// goes through the reader and the loaders (fuzz/xfile_common.h).
#include <string>

#include "fuzz/xfile_common.h"

namespace {

class Generator {
public:
    Generator(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}

    std::string file() {
        out_ = "xof 0303txt 0032\n";
        while (p_ < end_ && out_.size() < kMaxText) object(0);
        return out_;
    }

private:
    static constexpr size_t kMaxText = 1 << 20;

    uint8_t next() { return p_ < end_ ? *p_++ : 0; }
    unsigned count() {  // mostly small, sometimes large
        uint8_t b = next();
        return b < 200 ? b % 8 : unsigned(b) * unsigned(next());
    }
    std::string name() { return "N" + std::to_string(next() % 12); }
    std::string guid() {
        static const char* const kGuids[] = {"<11111111-2222-3333-4444-555555555555>",
                                             "<3D82AB46-62DA-11cf-AB39-0020AF71E433>",
                                             "<00000000-0000-0000-0000-000000000000>", "<not-a-guid>"};
        return kGuids[next() % 4];
    }
    std::string number() {
        static const char* const kNumbers[] = {"0", "1", "-1", "2.5", "1e30", "-0", "4294967295", "7"};
        return kNumbers[next() % 8];
    }
    void open(const std::string& type) {
        out_ += type;
        if (next() & 1) out_ += " " + name();
        out_ += " {";
        if ((next() & 7) == 0) out_ += " " + guid();
        out_ += "\n";
    }
    // Children until a close (or the bytes) end the object.
    void children(int depth) {
        while (p_ < end_ && out_.size() < kMaxText) {
            if ((next() & 7) == 0) break;
            object(depth + 1);
        }
        out_ += "}\n";
    }

    void mesh(int depth) {
        open("Mesh");
        const unsigned vertices = count();
        out_ += std::to_string(vertices) + ";";
        for (unsigned i = 0; i < vertices && out_.size() < kMaxText; ++i)
            out_ += number() + ";" + number() + ";" + number() + (i + 1 < vertices ? ";," : ";;");
        const unsigned faces = count();
        out_ += "\n" + std::to_string(faces) + ";";
        for (unsigned i = 0; i < faces && out_.size() < kMaxText; ++i) {
            const unsigned corners = 3 + next() % 3;
            out_ += std::to_string(corners) + ";";
            for (unsigned c = 0; c < corners; ++c)
                out_ += std::to_string(vertices ? next() % (vertices + 1) : next()) + (c + 1 < corners ? "," : ";");
            out_ += i + 1 < faces ? "," : ";";
        }
        out_ += "\n";
        if (next() & 1) {
            const unsigned materials = next() % 4;
            out_ += "MeshMaterialList { " + std::to_string(materials) + "; " + std::to_string(faces) + "; ";
            for (unsigned i = 0; i < faces && out_.size() < kMaxText; ++i)
                out_ += std::to_string(next() % (materials + 1)) + (i + 1 < faces ? "," : ";");
            out_ += ";\n";
            for (unsigned i = 0; i < materials; ++i) {
                if (next() & 1)
                    out_ += "{" + name() + "}\n";
                else
                    material();
            }
            out_ += "}\n";
        }
        if (next() & 1) {
            out_ += "MeshNormals { 1; 0;0;1;; " + std::to_string(faces) + "; ";
            for (unsigned i = 0; i < faces; ++i) out_ += std::string("3;0,0,0;") + (i + 1 < faces ? "," : ";");
            out_ += " }\n";
        }
        children(depth);
    }
    void material() {
        open("Material");
        out_ += number() + ";" + number() + ";1;1;; " + number() + "; 0;0;0;; 0;0;0;;\n";
        if (next() & 1) out_ += "TextureFilename { \"" + name() + ".bmp\"; }\n";
        out_ += "}\n";
    }
    void reference() { out_ += "{" + name() + ((next() & 3) == 0 ? " " + guid() : std::string()) + "}\n"; }
    void animationSet() {
        open("AnimationSet");
        for (unsigned a = next() % 3; a > 0; --a) {
            out_ += "Animation { {" + name() + "}\nAnimationKey { " + std::to_string(next() % 5) + "; ";
            const unsigned keys = count();
            out_ += std::to_string(keys) + "; ";
            for (unsigned k = 0; k < keys && out_.size() < kMaxText; ++k) {
                const unsigned values = next() % 17;
                out_ += std::to_string(next()) + "; " + std::to_string(values) + "; ";
                for (unsigned v = 0; v < values; ++v) out_ += number() + (v + 1 < values ? "," : ";");
                out_ += k + 1 < keys ? ";," : ";;";
            }
            out_ += " }\nAnimationOptions { " + std::to_string(next() % 2) + "; " + std::to_string(next() % 2) + "; }\n}\n";
        }
        out_ += "}\n";
    }

    void object(int depth) {
        switch (depth > 250 ? 3 : next() % 11) {
            case 0:
            case 1:
                open("Frame");
                if (next() & 1)
                    out_ += "FrameTransformMatrix { 1,0,0,0, 0,1,0,0, 0,0,1,0, " + number() + ",0,0,1;; }\n";
                children(depth);
                break;
            case 2: mesh(depth); break;
            case 3: reference(); break;
            case 4: {  // a burst of one reference: the paths through it multiply
                const std::string ref = "{" + name() + "}";
                for (unsigned n = count(); n > 0 && out_.size() < kMaxText; --n) out_ += ref;
                out_ += "\n";
                break;
            }
            case 5: material(); break;
            case 6:
                open("Wrapper");
                children(depth);
                break;
            case 7: animationSet(); break;
            case 8: {  // nesting far deeper than frames may go
                const unsigned n = count() % 300;
                for (unsigned i = 0; i < n; ++i) out_ += "Frame {\n";
                object(depth + int(n));
                for (unsigned i = 0; i < n; ++i) out_ += "}\n";
                break;
            }
            case 9: out_ += number() + ";\n"; break;
            default: out_ += "{" + guid() + "}\n"; break;
        }
    }

    const uint8_t* p_;
    const uint8_t* end_;
    std::string out_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text = Generator(data, size).file();
    std::vector<uint8_t> bytes(text.begin(), text.end());
    xfile::File file;
    if (xfile_fuzz::parseChecked(bytes, file)) xfile_fuzz::loadAll(bytes, file);
    return 0;
}

// The reference of bench/python_bench.py: reads a whole LAS file with the full-fidelity reader
// into one caller-owned column per field of its point format, and prints the seconds it took.
#include <OrvError.h>
#include <OrvLasFile.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

// Points read per call; the caller's columns hold the whole file.
constexpr size_t kBlock = 65536;

// Fresh memory, left unwritten as numpy's empty arrays are: the reader's stores fault it in.
template <class T>
T* column(std::vector<std::unique_ptr<T[]>>& keep, size_t count) {
    keep.emplace_back(new T[count]);
    return keep.back().get();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: python_read_reference FILE\n");
        return 2;
    }
    const auto start = std::chrono::steady_clock::now();
    orv::LasReader reader;
    if (reader.open(argv[1]) != 0) {
        std::fprintf(stderr, "%s\n", reader.error().c_str());
        return 1;
    }
    const orv::LasFileHeader& h = reader.header();
    const orv::LasPointLayout& l = orv::kLasPointLayouts[h.pointFormat];
    const size_t n = reader.pointCount();
    // Every field the format has, as the Python reader gives them.
    std::vector<std::unique_ptr<double[]>> doubles;
    std::vector<std::unique_ptr<uint16_t[]>> words;
    std::vector<std::unique_ptr<int16_t[]>> angles;
    std::vector<std::unique_ptr<uint8_t[]>> bytes;
    orv::LasColumns c;
    c.x = column(doubles, n);
    c.y = column(doubles, n);
    c.z = column(doubles, n);
    c.intensity = column(words, n);
    c.returnNumber = column(bytes, n);
    c.numberOfReturns = column(bytes, n);
    c.classificationFlags = column(bytes, n);
    if (l.extendedCore) c.scannerChannel = column(bytes, n);
    c.scanDirection = column(bytes, n);
    c.edgeOfFlightLine = column(bytes, n);
    c.classification = column(bytes, n);
    c.scanAngle = column(angles, n);
    c.userData = column(bytes, n);
    c.pointSourceId = column(words, n);
    if (l.gpsTime >= 0) c.gpsTime = column(doubles, n);
    if (l.rgb >= 0) {
        c.red = column(words, n);
        c.green = column(words, n);
        c.blue = column(words, n);
    }
    if (l.nir >= 0) c.nir = column(words, n);
    size_t done = 0;
    try {
        for (size_t got; done < n && (got = reader.read(c, kBlock)) > 0; done += got) {
            // The next block lands after this one in every column.
            auto advance = [got](auto*& p) {
                if (p) p += got;
            };
            advance(c.x), advance(c.y), advance(c.z), advance(c.intensity);
            advance(c.returnNumber), advance(c.numberOfReturns), advance(c.classificationFlags);
            advance(c.scannerChannel), advance(c.scanDirection), advance(c.edgeOfFlightLine);
            advance(c.classification), advance(c.scanAngle), advance(c.userData);
            advance(c.pointSourceId), advance(c.gpsTime), advance(c.red), advance(c.green);
            advance(c.blue), advance(c.nir);
        }
    } catch (const orv::FileError& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%zu points %.6f s\n", done, seconds);
    return 0;
}

// Replays seed corpora through a fuzz target without libFuzzer, so that any compiler builds the
// replay: every file named, or found in a folder named, is one input. Exits 0 when each input
// ran through; a broken property aborts as it would under the fuzzer.
#include "fuzzcheck.h"

#include <QByteArray>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <cstdio>

namespace {

QStringList inputsOf(const QString &argument)
{
    if (!QFileInfo(argument).isDir())
        return {argument};
    QStringList files;
    QDirIterator found(argument, QDir::Files, QDirIterator::Subdirectories);
    while (found.hasNext())
        files.append(found.next());
    files.sort();
    return files;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <corpus folder or input file>...\n", argv[0]);
        return 2;
    }
    int replayed = 0;
    for (int i = 1; i < argc; ++i) {
        const QStringList inputs = inputsOf(QFile::decodeName(argv[i]));
        if (inputs.isEmpty()) {
            std::fprintf(stderr, "%s: no inputs in %s\n", argv[0], argv[i]);
            return 1;
        }
        for (const QString &path : inputs) {
            QFile input(path);
            if (!input.open(QIODevice::ReadOnly)) {
                std::fprintf(stderr, "%s: cannot read %s: %s\n", argv[0], qPrintable(path),
                             qPrintable(input.errorString()));
                return 1;
            }
            const QByteArray bytes = input.readAll();
            LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t *>(bytes.constData()),
                                   std::size_t(bytes.size()));
            ++replayed;
        }
    }
    std::printf("%d inputs replayed\n", replayed);
    return 0;
}

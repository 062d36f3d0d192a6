// Runs the fuzz target once over each file named on the command line (the corpus), so the
// native test run replays it under the sanitizers without libFuzzer.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <vector>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv)
{
    int replayed = 0;
    for (int i = 1; i < argc; i++) {
        FILE *f = fopen(argv[i], "rb");
        if (f == NULL) {
            fprintf(stderr, "replay: cannot open %s\n", argv[i]);
            return 1;
        }
        std::vector<uint8_t> bytes;
        int c;
        while ((c = fgetc(f)) != EOF)
            bytes.push_back((uint8_t)c);
        fclose(f);
        if (replayed == 0)
            LLVMFuzzerInitialize(&argc, &argv);
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
        replayed++;
    }
    fprintf(stderr, "replay: %d inputs, no fault\n", replayed);
    return replayed > 0 ? 0 : 1;
}

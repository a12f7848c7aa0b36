// A small real program built twice (VX_FIXTURE_VERSION 1 and 2) so that the
// release tests publish two versions of an executable and its patch.

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char* const kGreetings[] = {"hello", "bonjour", "hallo", "ciao", "hola", "hej"};

int weigh(const std::string& word)
{
    int weight = VX_FIXTURE_VERSION;
    for (char c : word)
        weight = weight * 31 + c;
    return weight;
}

std::vector<int> table(int size)
{
    std::vector<int> values;
    for (int i = 0; i < size; ++i)
        values.push_back(weigh(kGreetings[i % 6]) ^ (i * VX_FIXTURE_VERSION));
    return values;
}

} // namespace

int main(int argc, char** argv)
{
    const std::vector<int> values = table(argc * 16);
    long sum = 0;
    for (int value : values)
        sum += value;
    for (int i = 1; i < argc; ++i)
        std::printf("%s %d\n", argv[i], weigh(argv[i]));
    std::printf("release fixture version %d, sum %ld, %zu\n", VX_FIXTURE_VERSION, sum,
                std::strlen(argv[0]));
    return 0;
}

// Calls the echo plug-in once, then ten times at once, with the settings of a mq.conf.
#include <tolvane/client.h>

#include <cstdio>

int main(int argc, char** argv) {
    tolvane::Options options;
    std::string error;
    if (!tolvane::ReadOptions(argc > 1 ? argv[1] : "/opt/tolvane/cfg/mq.conf", &options, &error)) {
        fprintf(stderr, "%s\n", error.c_str());
        return 2;
    }
    tolvane::Client client(options);
    tolvane::Result r =
        client.Call({{{"comtype", "echo"}, {"nfunc", "say"}, {"text", "10000:hello"}}},
                    std::chrono::seconds(10));
    if (!r) {
        fprintf(stderr, "%s\n", r.error.c_str());
        return 1;
    }
    printf("%s ok=%d\n", r.reply.text.c_str(), r.reply.ok);

    std::vector<std::future<tolvane::Result>> calls;
    calls.reserve(10);
    for (int i = 0; i < 10; ++i) {
        tolvane::Record say = {{"comtype", "echo"}, {"nfunc", "say"}, {"text", std::to_string(i)}};
        calls.push_back(client.CallAsync({say}, std::chrono::seconds(10)));
    }
    for (auto& call : calls) {
        tolvane::Result each = call.get();
        printf("%s ", each ? each.reply.text.c_str() : each.error.c_str());
    }
    printf("\n");
}

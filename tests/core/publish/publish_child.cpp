// A publisher in a process of its own, for the test that kills it: publish_child PORT NODE.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "core/publish/mqtt_publisher.h"

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    kalvo::MqttConfig config;
    config.enabled = true;
    config.host = "127.0.0.1";
    config.port = std::atoi(argv[1]);
    config.node = argv[2];
    kalvo::MqttPublisher publisher(
        config, [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); }, 2);
    publisher.Start();
    for (;;) pause();
}

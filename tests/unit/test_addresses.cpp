// Names the agent makes of its settings: the broker's host and port as the
// reason lines name them, the claim on its identity, a Unix socket's address.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "diagnosis.hpp"
#include "process.hpp"
#include "unix_address.hpp"

namespace
{

TEST(BrokerAddress, HostAndPortOfEveryKindOfHost)
{
    struct Case {
        const char *uri, *host, *port, *peer;
    } cases[] = {
        {"tcp://localhost:1884", "localhost", "1884", "localhost:1884"},
        {"ssl://broker.example.net:8883", "broker.example.net", "8883", "broker.example.net:8883"},
        {"tcp://127.0.21.1:1884", "127.0.21.1", "1884", "127.0.21.1:1884"},
        // The address of IPv6 holds colons: the port is after the last one,
        // and the host loses its brackets (the resolver and TLS take it so).
        {"tcp://[::1]:1884", "::1", "1884", "[::1]:1884"},
        {"ssl://[2001:db8::17]:8883", "2001:db8::17", "8883", "[2001:db8::17]:8883"},
    };
    for (const Case &c : cases) {
        BrokerAddress broker;
        split_server_uri(c.uri, &broker);
        EXPECT_STREQ(broker.host, c.host) << c.uri;
        EXPECT_STREQ(broker.port, c.port) << c.uri;
        EXPECT_STREQ(broker.peer, c.peer) << c.uri;
    }
}

std::string identity(const char *uri, const char *client_id)
{
    char name[sizeof sockaddr_un::sun_path];
    const int n = identity_name(uri, client_id, name, sizeof name);
    EXPECT_EQ(n, static_cast<int>(strlen(name)));
    return name;
}

TEST(Identity, OneNamePerBrokerAndClientId)
{
    const std::string mine = identity("tcp://broker.example:1884", "quorvalMeshNode");
    EXPECT_EQ(mine.rfind("@telemetry-agent:quorvalMeshNode:", 0), 0u) << mine;
    EXPECT_EQ(mine.size(), strlen("@telemetry-agent:quorvalMeshNode:") + 16);
    EXPECT_EQ(identity("tcp://broker.example:1884", "quorvalMeshNode"), mine);
    // Either part alone tells two identities apart.
    EXPECT_NE(identity("tcp://broker.example:1885", "quorvalMeshNode"), mine);
    EXPECT_NE(identity("ssl://broker.example:1884", "quorvalMeshNode"), mine);
    EXPECT_NE(identity("tcp://broker.example:1884", "quorvalMeshNode2"), mine);
    // The longest identity fits an abstract socket's name.
    const std::string longest(253, 'h');
    sockaddr_un address;
    EXPECT_GT(
        unix_address(
            identity(("tcp://" + longest + ":65535").c_str(), "abcdefghijklmnopqrstuvw").c_str(),
            &address),
        0u);
}

TEST(UnixAddress, PathOrAbstractName)
{
    sockaddr_un address;
    EXPECT_EQ(unix_address("/run/systemd/notify", &address),
              offsetof(sockaddr_un, sun_path) + strlen("/run/systemd/notify"));
    EXPECT_STREQ(address.sun_path, "/run/systemd/notify");

    const socklen_t length = unix_address("@telemetry-agent:x", &address);
    EXPECT_EQ(length, offsetof(sockaddr_un, sun_path) + 18);
    EXPECT_EQ(address.sun_path[0], '\0');
    EXPECT_EQ(std::string(address.sun_path + 1, 17), "telemetry-agent:x");

    EXPECT_EQ(unix_address("", &address), 0u);
    EXPECT_EQ(unix_address(std::string(sizeof address.sun_path, 'x').c_str(), &address), 0u);
}

} // namespace

# Sourced by the scripts that need the test network of three namespaces:
#
#   feed ns  feed0 198.18.0.1 ==== host0 198.18.0.2   relay ns   zenta0 198.18.1.1 ==== sink0 198.18.1.2  sink ns
#
# make_test_network PREFIX makes PREFIXf, PREFIXr and PREFIXs with those
# links up; remove_test_network PREFIX removes them. Needs root.

make_test_network() {
    for side in f r s; do
        ip netns add "$1$side"
        ip -n "$1$side" link set lo up
    done
    ip link add feed0 netns "${1}f" type veth peer name host0 netns "${1}r"
    ip link add zenta0 netns "${1}r" type veth peer name sink0 netns "${1}s"
    for end in "f feed0 198.18.0.1" "r host0 198.18.0.2" "r zenta0 198.18.1.1" "s sink0 198.18.1.2"; do
        set -- "$1" $end
        ip -n "$1$2" addr add "$4/24" dev "$3"
        ip -n "$1$2" link set "$3" up
    done
    # A new link drops what is sent on it until the kernel has marked it up.
    sleep 1
}

remove_test_network() {
    for side in f r s; do ip netns del "$1$side" 2>/dev/null || true; done
}

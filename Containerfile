# The varnok image: the static varnok, its copyright, and nothing else; no
# shell, no C library. tools/image builds it for each platform of
# tools/targets from the varnok-static packages, with each architecture's
# binary in a folder of the build context named as TARGETARCH names it.
FROM scratch
ARG TARGETARCH
COPY $TARGETARCH/varnok /varnok
COPY copyright /usr/share/doc/varnok/copyright
ENTRYPOINT ["/varnok"]

# The varnok image: the static varnok, its copyright, and nothing else; no
# shell, no C library. tools/image builds it for each platform of
# tools/targets from the varnok-static packages, with each architecture's
# binary in a folder of the build context named as TARGETARCH names it, and
# gives it the changelog's version and time.
FROM scratch
ARG TARGETARCH
ARG VERSION
ARG CREATED
COPY $TARGETARCH/varnok /usr/bin/varnok
COPY copyright /usr/share/doc/varnok/copyright
# Images built FROM this one call it by name.
ENV PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
# No /etc/passwd names it: a user that is not root, for restricted pods.
USER 65532:65532
LABEL org.opencontainers.image.title="varnok" \
      org.opencontainers.image.description="Print the IPv4 or IPv6 address of a host, bounded in time" \
      org.opencontainers.image.version="$VERSION" \
      org.opencontainers.image.licenses="ISC" \
      org.opencontainers.image.created="$CREATED"
ENTRYPOINT ["/usr/bin/varnok"]

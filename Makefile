# Quillet: `make run` sets up, builds and starts the console; `make test` sets up,
# builds and passes the tests. Everything else here is a step of those two.

PACKAGES := cmake g++ make pkg-config qt6-base-dev qt6-translations-l10n libqt6sql6-sqlite \
            libsodium-dev fonts-wqy-microhei desktop-file-utils appstream \
            postgresql libqt6sql6-psql qt6-httpserver-dev qt6-websockets-dev openssl \
            libsmpp34-dev python3 python3-prometheus-client libnet-smpp-perl
# `make fuzz` needs clang and its libFuzzer runtime besides these.
FUZZ_PACKAGES := clang-14 libclang-rt-14-dev
# `make bench` drives the service with wrk besides these.
BENCH_PACKAGES := wrk
JOBS     ?= $(shell nproc)
# Seconds each fuzz target runs, and how many run at once: with the build this stays
# within five minutes on two cores.
FUZZ_SECONDS ?= 25
FUZZ_JOBS    ?= 2
DEV_BIN  := build/dev/bin
# Debian packages: the source package and the binary packages, built out of tree in
# DEB_DIR/src from the files git knows. The package build runs the whole suite on the
# optimised build it ships, made with Debian's flags (DEB_OPTIONS=nocheck skips that);
# lintian checks them all.
DEB_DIR     := build/deb
DEB_TOOLS   := debhelper dpkg-dev fakeroot lintian
DEB_OPTIONS ?=
DEB_ENV     := DEB_BUILD_OPTIONS="$(strip $(DEB_OPTIONS) parallel=$(JOBS) terse)" \
               DEB_BUILD_PROFILES="$(filter nocheck,$(DEB_OPTIONS))"

.PHONY: deps build run test check sanitize fuzz bench screenshot deb deb-test clean

deps:
	@missing=$$(for p in $(PACKAGES); do \
	    dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || echo $$p; \
	  done); \
	if [ -z "$$missing" ]; then exit 0; fi; \
	if [ "$$(id -u)" -ne 0 ]; then \
	  echo "Missing packages. Install them with:"; \
	  echo "  sudo apt-get install -y" $$missing; exit 1; \
	fi; \
	echo "Installing" $$missing; \
	export DEBIAN_FRONTEND=noninteractive; \
	apt-get update -qq && apt-get install -y -qq --no-install-recommends $$missing

build: deps
	cmake --preset dev
	cmake --build --preset dev -j $(JOBS)

run: build
	$(DEV_BIN)/Quillet

test: build
	ctest --preset dev

# The edit-compile-test loop: the tests labelled unit (in process, seconds).
check: build
	ctest --preset unit

sanitize: deps
	cmake --preset asan
	cmake --build --preset asan -j $(JOBS)
	ctest --preset asan

# Every parser of outside input under libFuzzer with AddressSanitizer and UBSan, in a
# clang build tree of its own; fails on any crash or broken property.
fuzz:
	@$(MAKE) --no-print-directory deps PACKAGES="$(PACKAGES) $(FUZZ_PACKAGES)"
	cmake -S fuzz -B build/fuzz -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build/fuzz -j $(JOBS) --target fuzzers
	fuzz/run.sh build/fuzz/bin $(FUZZ_SECONDS) $(FUZZ_JOBS)

bench:
	@$(MAKE) --no-print-directory deps PACKAGES="$(PACKAGES) $(BENCH_PACKAGES)"
	cmake --preset release
	cmake --build --preset release -j $(JOBS)
	ctest --preset bench

screenshot: build
	QT_QPA_PLATFORM=offscreen $(DEV_BIN)/quillet-screenshot docs/quillet.png

deb:
	@$(MAKE) --no-print-directory deps PACKAGES="$(DEB_TOOLS)"
	rm -rf $(DEB_DIR)
	mkdir -p $(DEB_DIR)/src
	git ls-files -z --cached --others --exclude-standard \
	  | tar -c --null -T - --ignore-failed-read -f - | tar -x -C $(DEB_DIR)/src
	@cd $(DEB_DIR)/src && $(DEB_ENV) dpkg-checkbuilddeps 2>/dev/null && exit 0; \
	if [ "$$(id -u)" -ne 0 ]; then \
	  echo "Missing build dependencies. Install them with:"; \
	  echo "  sudo $(DEB_ENV) apt-get build-dep ./$(DEB_DIR)/src"; exit 1; \
	fi; \
	export DEBIAN_FRONTEND=noninteractive; \
	apt-get update -qq && $(DEB_ENV) apt-get build-dep -y -qq --no-install-recommends ./
	cd $(DEB_DIR)/src && $(DEB_ENV) dpkg-buildpackage -us -uc
	lintian --fail-on error,warning --display-info $(DEB_DIR)/*.changes

# Installs the packages built by `make deb` on this machine, runs them, and purges
# them again (as root).
deb-test:
	tests/package/deb-test.sh $(DEB_DIR)

clean:
	rm -rf build

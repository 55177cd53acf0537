# Quillet: `make run` sets up, builds and starts the console; `make test` sets up,
# builds and passes the tests. Everything else here is a step of those two.

PACKAGES := cmake g++ make pkg-config qt6-base-dev qt6-translations-l10n libqt6sql6-sqlite \
            libsodium-dev fonts-wqy-microhei desktop-file-utils appstream \
            postgresql libqt6sql6-psql
JOBS     ?= $(shell nproc)
DEV_BIN  := build/dev/bin

.PHONY: deps build run test sanitize bench screenshot clean

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

sanitize: deps
	cmake --preset asan
	cmake --build --preset asan -j $(JOBS)
	ctest --preset asan

bench: deps
	cmake --preset release
	cmake --build --preset release -j $(JOBS)
	ctest --preset bench

screenshot: build
	QT_QPA_PLATFORM=offscreen $(DEV_BIN)/quillet-screenshot docs/quillet.png

clean:
	rm -rf build

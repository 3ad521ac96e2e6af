# make run   : install what is missing, build, and start the tool
# make test  : install what is missing, build, and run every test
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

DEB_PACKAGES := cmake g++ make pkg-config libmodbus-dev qt6-base-dev qt6-serialport-dev libqt6serialport6 \
	libgl-dev libxkbcommon-dev fonts-wqy-microhei xvfb xauth x11-apps x11-utils imagemagick \
	dpkg-dev desktop-file-utils libqcustomplot-dev qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools \
	libmosquitto-dev mosquitto mosquitto-clients openssl libqt6sql6-sqlite libqt6sql6-psql postgresql libtomlplusplus-dev socat \
	mbpoll python3-pymodbus python3-serial-asyncio systemd python3-pyvisa-py python3-pymeasure prometheus curl

.PHONY: all deps build run test bench test-asan check-windows check-embed install package clean

all: build

deps:
	@./scripts/install-deps.sh $(DEB_PACKAGES)

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

run: build
	@./scripts/run-tool.sh $(BUILD)

test: build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

# Benchmarks: an optimised build of its own, not part of make test. Prints one
# table of codec speed, timing fidelity and footprint (docs/performance.md);
# BENCH_QUICK=1 for a shorter run.
bench: deps
	@./scripts/install-deps.sh libbenchmark-dev libboost-dev mbpoll strace qt6-charts-dev libqt6opengl6-dev python3-serial
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DPSUTOOL_BENCH=ON -DBUILD_TESTING=OFF
	cmake --build build-bench -j $(JOBS) --target bench_codec bench_timing bench_footprint bench_trend bench_reports bench_overview bench_plan psusim psuctl
	./bench/run.sh build-bench

# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DPSUTOOL_SANITIZE=ON
	cmake --build build-asan -j $(JOBS)
	cd build-asan && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

# Every source of the tool compiled for Windows (MinGW-w64, syntax only).
check-windows: deps
	@./scripts/install-deps.sh g++-mingw-w64-x86-64-posix
	./scripts/check-windows.sh

# The project taken into a host project with add_subdirectory.
check-embed: deps
	cmake -S tests/embed -B build-embed -DBUILD_TESTING=OFF
	cmake --build build-embed -j $(JOBS) --target embed_host psutool psusim
	./build-embed/embed_host

# Programs, menu entry, icons and manual pages under PREFIX (DESTDIR is
# honoured); $(BUILD)/install_manifest.txt lists what went where.
PREFIX ?= /usr/local
install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

# The Debian package from the build in $(BUILD), made by CPack and checked by
# lintian (which fails on an error); the .deb lands in $(BUILD).
package: build
	@./scripts/install-deps.sh lintian
	rm -f $(BUILD)/psutool_*.deb
	cd $(BUILD) && cpack -G DEB
	lintian $(BUILD)/psutool_*.deb

clean:
	rm -rf $(BUILD)

# Fuzzing the way in with libFuzzer (clang, AddressSanitizer and UBSan):
# fuzz_dispatch for FUZZ_SECONDS, then fuzz_receive (the receive handler over
# a pseudo-terminal, about 16 replies a second) for a tenth of that.
FUZZ_SECONDS ?= 300
.PHONY: fuzz soak
fuzz:
	@./scripts/install-deps.sh clang libclang-rt-14-dev $(DEB_PACKAGES)
	cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DPSUTOOL_FUZZ=ON -DPSUTOOL_SANITIZE=ON -DBUILD_TESTING=OFF
	cmake --build build-fuzz -j $(JOBS) --target fuzz_dispatch fuzz_receive
	mkdir -p build-fuzz/corpus-dispatch build-fuzz/corpus-receive
	cd build-fuzz && LSAN_OPTIONS=suppressions=$(CURDIR)/fuzz/lsan.supp QT_QPA_PLATFORM=offscreen \
		./fuzz/fuzz_dispatch -max_total_time=$(FUZZ_SECONDS) -max_len=600 -print_final_stats=1 \
		corpus-dispatch ../fuzz/corpus
	cd build-fuzz && LSAN_OPTIONS=suppressions=$(CURDIR)/fuzz/lsan.supp QT_QPA_PLATFORM=offscreen \
		./fuzz/fuzz_receive -max_total_time=$$(( $(FUZZ_SECONDS) / 10 + 1 )) -max_len=600 -print_final_stats=1 \
		corpus-receive ../fuzz/corpus

# The long run against three simulated supplies, SOAK_MINUTES long, sampling
# heap and resident size every minute (see docs/reliability.md).
SOAK_MINUTES ?= 60
soak: deps
	cmake -S . -B build-soak -DPSUTOOL_SOAK=ON -DBUILD_TESTING=OFF
	cmake --build build-soak -j $(JOBS) --target psutool-soak
	QT_QPA_PLATFORM=offscreen ./build-soak/psutool-soak $(SOAK_MINUTES)

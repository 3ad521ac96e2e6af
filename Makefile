# make run   : install what is missing, build, and start the tool
# make test  : install what is missing, build, and run every test
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

DEB_PACKAGES := cmake g++ make pkg-config libmodbus-dev qt6-base-dev qt6-serialport-dev libqt6serialport6 \
	libgl-dev libxkbcommon-dev fonts-wqy-microhei xvfb xauth x11-apps x11-utils imagemagick

.PHONY: all deps build run test bench test-asan clean

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

# Benchmarks: an optimised build of its own, not part of make test.
bench: deps
	@./scripts/install-deps.sh libbenchmark-dev libboost-dev
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DPSUTOOL_BENCH=ON -DBUILD_TESTING=OFF
	cmake --build build-bench -j $(JOBS) --target bench_codec
	QT_QPA_PLATFORM=offscreen ./build-bench/bench/bench_codec

# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DPSUTOOL_SANITIZE=ON
	cmake --build build-asan -j $(JOBS)
	cd build-asan && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD)

.PHONY: bootstrap build test demo fuzz asan-test clean

bootstrap:
	scripts/bootstrap.sh

build: bootstrap
	scripts/build.sh

test:
	scripts/test.sh

demo:
	scripts/demo.sh

fuzz:
	scripts/fuzz.sh --long

asan-test:
	scripts/test-asan.sh

clean:
	rm -rf build build-asan build-clang python/vorel_cloud/*.so

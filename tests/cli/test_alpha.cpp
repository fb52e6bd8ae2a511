// Translucent images and metadata through the subcommands: alpha kept by
// PNG and PAM, dropped with a warning by PNM, metadata kept unless --strip,
// info listing the trailer, and a lost alpha failing the file.

#include "cli_support.h"
#include "kelvane/kelvane.h"

namespace cli::test {
namespace {

using Alpha = CliTest;

std::vector<int32_t> alpha_of(const kelvane::Image& image) {
  std::vector<int32_t> out;
  for (size_t i = static_cast<size_t>(image.channels - 1); i < image.samples.size(); i += image.channels)
    out.push_back(image.samples[i]);
  return out;
}

// The trailer at the end of `stream`, its footer included.
std::string trailer_of(const std::string& stream) {
  const auto* footer = reinterpret_cast<const uint8_t*>(stream.data() + stream.size() - 20);
  const size_t length = size_t{footer[0]} | size_t{footer[1]} << 8 | size_t{footer[2]} << 16 | size_t{footer[3]} << 24;
  return stream.substr(stream.size() - length - 20);
}

TEST_F(Alpha, PngAndPamKeepItExactlyByDefaultPnmDropsItWithAWarning) {
  fs::copy_file(fs::path(KV_TEST_DATA) / "images/chelsea_rgba.png", dir / "cat.png");
  const kelvane::Image original = kelvane::read_image((dir / "cat.png").string());
  ASSERT_EQ(original.channels, 4);

  Result r = kelvane({"encode", "cat.png", "-q", "8", "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(json_field(r.out, "alpha"), "true");
  EXPECT_EQ(json_field(r.out, "channels"), "4");
  for (const char* name : {"back.png", "back.pam"}) {
    r = kelvane({"decode", "cat.kv2", "-o", name});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find("warning"), std::string::npos) << r.err;
    const kelvane::Image back = kelvane::read_image((dir / name).string());
    ASSERT_EQ(back.channels, 4) << name;
    EXPECT_EQ(alpha_of(back), alpha_of(original)) << name;
  }
  EXPECT_EQ(text_of(dir / "back.pam").substr(0, 3), "P7\n");

  // No -o: the PNM rule names it .ppm, which has no alpha.
  r = kelvane({"decode", "cat.kv2", "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("kelvane: cat.kv2: warning: cat.ppm cannot hold alpha"), std::string::npos) << r.err;
  EXPECT_EQ(json_field(r.out, "alpha_dropped"), "true");
  EXPECT_EQ(text_of(dir / "cat.ppm").substr(0, 2), "P6");
  r = kelvane({"decode", "cat.kv2", "-o", "-", "--quiet"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, text_of(dir / "cat.ppm"));

  // The alpha options reach the encoder: each gives another stream.
  ASSERT_EQ(kelvane({"encode", "cat.png", "-o", "exact.kv2", "--exact"}).status, 0);
  ASSERT_EQ(kelvane({"encode", "cat.png", "-o", "lossy.kv2", "--alpha-quantization", "16"}).status, 0);
  EXPECT_NE(text_of(dir / "exact.kv2"), text_of(dir / "cat.kv2"));
  EXPECT_LT(fs::file_size(dir / "lossy.kv2"), fs::file_size(dir / "cat.kv2"));
}

TEST_F(Alpha, StripLeavesMetadataOutAndInfoListsTheTrailer) {
  kelvane::Image image{16, 8, 2, std::vector<int32_t>(16 * 8 * 2, 200)};
  for (size_t i = 1; i < image.samples.size(); i += 4) image.samples[i] = 0;
  image.metadata.exif = {'M', 'M', 0, 42, 0, 0, 0, 8, 0, 0};
  const std::string xmp = "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF/></x:xmpmeta>";
  image.metadata.xmp.assign(xmp.begin(), xmp.end());
  kelvane::write_image((dir / "logo.png").string(), image);

  ASSERT_EQ(kelvane({"encode", "logo.png", "-o", "kept.kv2", "--lossless"}).status, 0);
  ASSERT_EQ(kelvane({"encode", "logo.png", "-o", "stripped.kv2", "--lossless", "--strip"}).status, 0);
  ASSERT_EQ(kelvane({"decode", "kept.kv2", "-o", "kept.png"}).status, 0);
  ASSERT_EQ(kelvane({"decode", "stripped.kv2", "-o", "stripped.png"}).status, 0);
  const kelvane::Image kept = kelvane::read_image((dir / "kept.png").string());
  EXPECT_EQ(kept.samples, image.samples);
  EXPECT_EQ(kept.metadata.exif, image.metadata.exif);
  EXPECT_EQ(kept.metadata.xmp, image.metadata.xmp);
  EXPECT_TRUE(kelvane::read_image((dir / "stripped.png").string()).metadata.empty());

  Result r = kelvane({"info", "kept.kv2", "stripped.kv2", "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string first = r.out.substr(0, r.out.find('\n')), second = r.out.substr(first.size() + 1);
  EXPECT_EQ(json_field(first, "channels"), "1");
  EXPECT_EQ(json_field(first, "alpha"), "true");
  EXPECT_GT(std::stoi(json_field(first, "alpha_bytes")), 0);
  EXPECT_EQ(json_field(first, "metadata"), "{\"icc\":0,\"exif\":10,\"xmp\":" + std::to_string(xmp.size()) + "}");
  EXPECT_EQ(json_field(second, "metadata"), "{\"icc\":0,\"exif\":0,\"xmp\":0}");
  EXPECT_EQ(json_field(second, "warnings"), "[]");
  r = kelvane({"info", "kept.kv2"});
  EXPECT_NE(r.out.find("\n  alpha: yes, "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\n  metadata: ICC 0 bytes, EXIF 10 bytes, XMP " + std::to_string(xmp.size()) + " bytes\n"),
            std::string::npos) << r.out;

  // A trailer whose checksum fails is listed as damaged and left out.
  std::string damaged = text_of(dir / "kept.kv2");
  damaged[damaged.size() - 30] ^= 1;
  write_file(dir / "damaged.kv2", damaged);
  r = kelvane({"info", "damaged.kv2", "--json"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(json_field(r.out, "alpha"), "false");
  EXPECT_NE(json_field(r.out, "warnings").find("checksum does not match"), std::string::npos) << r.out;
  // One whose end is cut off, by the alpha chunk it began with.
  const std::string whole = text_of(dir / "kept.kv2");
  write_file(dir / "cut.kv2", whole.substr(0, whole.size() - 1));
  r = kelvane({"info", "cut.kv2", "--json"});
  EXPECT_NE(json_field(r.out, "warnings").find("the trailer is cut short"), std::string::npos) << r.out;
}

// A trailer grafted onto a stream of another size announces alpha that
// cannot be rebuilt: written without it, and failed where the format had
// room for it.
TEST_F(Alpha, AlphaThatCannotBeRebuiltFailsAPngOrPam) {
  put_images();
  kelvane::Image small{4, 4, 2, std::vector<int32_t>(32, 99)};
  kelvane::write_image((dir / "small.png").string(), small);
  ASSERT_EQ(kelvane({"encode", "small.png", "-o", "small.kv2"}).status, 0);
  ASSERT_EQ(kelvane({"encode", "colour.ppm", "-o", "c.kv2"}).status, 0);
  write_file(dir / "graft.kv2", text_of(dir / "c.kv2") + trailer_of(text_of(dir / "small.kv2")));
  for (const char* name : {"g.png", "g.pam"}) {
    Result r = kelvane({"decode", "graft.kv2", "-o", name});
    EXPECT_EQ(r.status, 1) << name;
    EXPECT_NE(r.err.find("kelvane: graft.kv2: the alpha plane could not be rebuilt"), std::string::npos) << r.err;
    EXPECT_EQ(kelvane::read_image((dir / name).string()).channels, 3);
  }
  Result r = kelvane({"decode", "graft.kv2", "-o", "g.ppm"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("kelvane: graft.kv2: warning: The alpha plane cannot be rebuilt"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace cli::test

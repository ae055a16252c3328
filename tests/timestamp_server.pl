#!/usr/bin/perl
# A time-stamping service for tests (RFC 3161 over HTTP) on 127.0.0.1: each
# POSTed query is answered by "openssl ts -reply" with the given
# configuration. Listens on a port that the system picks, and writes its
# number to PORT_FILE once it listens. Serves until it is killed.
#
#   timestamp_server.pl PORT_FILE OPENSSL_TS_CONFIG WORK_DIR
use strict;
use warnings;
use IO::Socket::INET;

my ($port_file, $config, $work) = @ARGV;
die "usage: $0 PORT_FILE OPENSSL_TS_CONFIG WORK_DIR\n" unless defined $work;

my $server = IO::Socket::INET->new(
  LocalAddr => '127.0.0.1',
  LocalPort => 0,
  Listen    => 5,
  ReuseAddr => 1,
) or die "timestamp server: cannot listen: $!\n";
open(my $port, '>', "$port_file.part") or die "$port_file: $!\n";
print $port $server->sockport(), "\n";
close($port);
rename("$port_file.part", $port_file) or die "$port_file: $!\n";

# Reads exactly $length bytes, or what comes before the client stops.
sub read_body {
  my ($client, $length) = @_;
  my $body = '';
  while (length($body) < $length) {
    my $read = read($client, my $chunk, $length - length($body));
    last unless $read;
    $body .= $chunk;
  }
  return $body;
}

sub answer {
  my ($client, $status, $type, $body) = @_;
  print $client "HTTP/1.0 $status\r\nContent-Type: $type\r\n",
    "Content-Length: ", length($body), "\r\nConnection: close\r\n\r\n", $body;
}

while (my $client = $server->accept()) {
  binmode($client);
  my $length = 0;
  while (defined(my $line = <$client>)) {
    last if $line =~ /^\r?\n$/;
    $length = $1 if $line =~ /^Content-Length:\s*(\d+)/i;
  }
  my $query = read_body($client, $length);
  open(my $out, '>:raw', "$work/query.tsq") or die "$work/query.tsq: $!\n";
  print $out $query;
  close($out);
  unlink("$work/reply.tsr");
  if (system('openssl', 'ts', '-reply', '-config', $config, '-queryfile',
      "$work/query.tsq", '-out', "$work/reply.tsr") == 0
    && open(my $in, '<:raw', "$work/reply.tsr")) {
    local $/;
    my $reply = <$in>;
    close($in);
    answer($client, '200 OK', 'application/timestamp-reply', $reply);
  } else {
    answer($client, '500 Internal Server Error', 'text/plain',
      "openssl ts could not answer\n");
  }
  close($client);
}

for _ in $(seq 100); do
  [ "$(wc -c <got.txt)" -ge "$(wc -c <big.txt)" ] && break
  sleep 0.1
done
cmp got.txt big.txt || { echo "the reader got other bytes"; exit 1; }
